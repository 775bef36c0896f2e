// The rundown guard. The idle event mirrors "no users" under the lock, so an
// owner waiting on it wakes exactly when the last user leaves.
#include "driver/rundown.h"

void InitializeRundown(Rundown* rundown) {
  KeInitializeSpinLock(&rundown->lock);
  rundown->users = 0;
  rundown->closed = TRUE;
  KeInitializeEvent(&rundown->idle, NotificationEvent, TRUE);
}

bool EnterRundown(Rundown* rundown) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&rundown->lock, &oldIrql);
  bool entered = !rundown->closed;
  if (entered && rundown->users++ == 0) KeResetEvent(&rundown->idle);
  KeReleaseSpinLock(&rundown->lock, oldIrql);
  return entered;
}

void LeaveRundown(Rundown* rundown) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&rundown->lock, &oldIrql);
  if (--rundown->users == 0) KeSetEvent(&rundown->idle, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&rundown->lock, oldIrql);
}

void CloseRundown(Rundown* rundown) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&rundown->lock, &oldIrql);
  rundown->closed = TRUE;
  KeReleaseSpinLock(&rundown->lock, oldIrql);
}

void WaitForRundown(Rundown* rundown) {
  KeWaitForSingleObject(&rundown->idle, Executive, KernelMode, FALSE, nullptr);
}

void OpenRundown(Rundown* rundown) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&rundown->lock, &oldIrql);
  rundown->closed = FALSE;
  KeReleaseSpinLock(&rundown->lock, oldIrql);
}

// Interrupt levels, critical regions, events, waits, spin locks and fast
// mutexes. Waits sleep on the object's 32-bit signal state with a futex;
// state changes are atomic, so ThreadSanitizer sees every hand-over.
#include <errno.h>
#include <limits.h>
#include <linux/futex.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "platform/nt.h"
#include "host_internal.h"

namespace host {

[[noreturn]] void PlatformFault(const char* what) {
  fprintf(stderr, "host platform fault: %s\n", what);
  fflush(stderr);
  abort();
}

}  // namespace host

namespace {

thread_local KIRQL currentIrql = PASSIVE_LEVEL;
thread_local int criticalRegionDepth = 0;
thread_local char threadIdentity;  // its address names the current thread

long Futex(volatile LONG* word, int op, LONG value, const struct timespec* timeout) {
  return syscall(SYS_futex, const_cast<LONG*>(word), op, value, timeout, nullptr, 0);
}

void WakeAll(volatile LONG* word) { Futex(word, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr); }

int64_t MonotonicNow100ns() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}

PVOID CurrentThread() { return &threadIdentity; }

// Takes a mutex if it is free or already ours.
bool TryAcquireMutex(PKMUTEX mutex) {
  if (__atomic_load_n(&mutex->OwnerThread, __ATOMIC_ACQUIRE) == CurrentThread()) {
    ++mutex->Recursion;
    return true;
  }
  LONG expected = 1;
  if (!__atomic_compare_exchange_n(&mutex->Header.SignalState, &expected, 0, false, __ATOMIC_ACQUIRE,
                                   __ATOMIC_RELAXED))
    return false;
  __atomic_store_n(&mutex->OwnerThread, CurrentThread(), __ATOMIC_RELEASE);
  mutex->Recursion = 1;
  ++criticalRegionDepth;  // owning a kernel mutex holds off normal APCs
  return true;
}

// Takes the object's signal if it is there: a notification event stays
// signalled, a synchronization event is reset by the wait it satisfies, a
// mutex becomes owned by the waiter.
bool TryConsumeSignal(DISPATCHER_HEADER* header) {
  if (header->Type == MutantObject) return TryAcquireMutex(reinterpret_cast<PKMUTEX>(header));
  if (header->Type == SynchronizationEvent) {
    LONG expected = 1;
    return __atomic_compare_exchange_n(&header->SignalState, &expected, 0, false,
                                       __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
  }
  return __atomic_load_n(&header->SignalState, __ATOMIC_ACQUIRE) != 0;
}

}  // namespace

KIRQL KeGetCurrentIrql() { return currentIrql; }

void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
  if (newIrql < currentIrql) host::PlatformFault("KeRaiseIrql to a lower level");
  *oldIrql = currentIrql;
  currentIrql = newIrql;
}

void KeLowerIrql(KIRQL newIrql) {
  if (newIrql > currentIrql) host::PlatformFault("KeLowerIrql to a higher level");
  currentIrql = newIrql;
}

void KeEnterCriticalRegion() { ++criticalRegionDepth; }

void KeLeaveCriticalRegion() {
  if (--criticalRegionDepth < 0) host::PlatformFault("KeLeaveCriticalRegion without enter");
}

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  event->Header.Type = type;
  __atomic_store_n(&event->Header.SignalState, state ? 1 : 0, __ATOMIC_RELEASE);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
  (void)increment;
  (void)wait;
  LONG previous = __atomic_exchange_n(&event->Header.SignalState, 1, __ATOMIC_ACQ_REL);
  WakeAll(&event->Header.SignalState);
  return previous;
}

LONG KeResetEvent(PRKEVENT event) {
  return __atomic_exchange_n(&event->Header.SignalState, 0, __ATOMIC_ACQ_REL);
}

void KeClearEvent(PRKEVENT event) { KeResetEvent(event); }

LONG KeReadStateEvent(PRKEVENT event) {
  return __atomic_load_n(&event->Header.SignalState, __ATOMIC_ACQUIRE);
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout) {
  (void)reason;
  (void)mode;
  (void)alertable;
  auto* header = static_cast<DISPATCHER_HEADER*>(object);
  bool mayBlock = timeout == nullptr || timeout->QuadPart != 0;
  if (mayBlock && currentIrql >= DISPATCH_LEVEL)
    host::PlatformFault("KeWaitForSingleObject that may block at dispatch level");
  if (timeout != nullptr && timeout->QuadPart > 0)
    host::PlatformFault("absolute wait times are not used by this driver");
  int64_t deadline = timeout ? MonotonicNow100ns() - timeout->QuadPart : 0;
  for (;;) {
    if (TryConsumeSignal(header)) return STATUS_SUCCESS;
    struct timespec remaining;
    struct timespec* limit = nullptr;
    if (timeout != nullptr) {
      int64_t left = deadline - MonotonicNow100ns();
      if (left <= 0) return STATUS_TIMEOUT;
      remaining.tv_sec = left / 10000000;
      remaining.tv_nsec = (left % 10000000) * 100;
      limit = &remaining;
    }
    Futex(&header->SignalState, FUTEX_WAIT_PRIVATE, 0, limit);
  }
}

void KeInitializeMutex(PRKMUTEX mutex, ULONG level) {
  (void)level;
  mutex->Header.Type = MutantObject;
  mutex->OwnerThread = nullptr;
  mutex->Recursion = 0;
  __atomic_store_n(&mutex->Header.SignalState, 1, __ATOMIC_RELEASE);
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait) {
  (void)wait;
  if (__atomic_load_n(&mutex->OwnerThread, __ATOMIC_ACQUIRE) != CurrentThread())
    host::PlatformFault("KeReleaseMutex by a thread that does not own it");
  if (--mutex->Recursion > 0) return 0;
  __atomic_store_n(&mutex->OwnerThread, nullptr, __ATOMIC_RELEASE);
  --criticalRegionDepth;
  __atomic_store_n(&mutex->Header.SignalState, 1, __ATOMIC_RELEASE);
  WakeAll(&mutex->Header.SignalState);
  return 0;
}

void KeInitializeSpinLock(PKSPIN_LOCK lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
  KIRQL old = currentIrql;
  if (old > DISPATCH_LEVEL) host::PlatformFault("spin lock above dispatch level");
  currentIrql = DISPATCH_LEVEL;
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
      return old;
    while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) sched_yield();
  }
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == 0) host::PlatformFault("release of a free spin lock");
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  currentIrql = newIrql;
}

NTSTATUS KeSaveExtendedProcessorState(ULONGLONG mask, PXSTATE_SAVE state) {
  (void)mask;
  memset(state, 0, sizeof(*state));
  return STATUS_SUCCESS;
}

void KeRestoreExtendedProcessorState(PXSTATE_SAVE state) { (void)state; }

void ExInitializeFastMutex(PFAST_MUTEX mutex) {
  mutex->Count = 1;
  mutex->Owner = nullptr;
  mutex->OldIrql = PASSIVE_LEVEL;
}

void ExAcquireFastMutex(PFAST_MUTEX mutex) {
  if (currentIrql > APC_LEVEL) host::PlatformFault("fast mutex above APC level");
  for (;;) {
    LONG expected = 1;
    if (__atomic_compare_exchange_n(&mutex->Count, &expected, 0, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED))
      break;
    Futex(&mutex->Count, FUTEX_WAIT_PRIVATE, 0, nullptr);
  }
  mutex->OldIrql = currentIrql;
  currentIrql = APC_LEVEL;
}

void ExReleaseFastMutex(PFAST_MUTEX mutex) {
  KIRQL old = KIRQL(mutex->OldIrql);
  __atomic_store_n(&mutex->Count, 1, __ATOMIC_RELEASE);
  Futex(&mutex->Count, FUTEX_WAKE_PRIVATE, 1, nullptr);
  currentIrql = old;
}

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  size_t length = 0;
  if (source != nullptr)
    while (source[length] != 0) ++length;
  destination->Buffer = const_cast<PWSTR>(source);
  destination->Length = USHORT(length * sizeof(WCHAR));
  destination->MaximumLength = USHORT((length + 1) * sizeof(WCHAR));
}

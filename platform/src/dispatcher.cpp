// Interrupt levels, critical regions, events, waits, spin locks, fast mutexes,
// the extended processor state and the kernel APCs that finish synchronous
// requests. Waits sleep on the object's signal count with a futex; state
// changes are atomic, so ThreadSanitizer sees every hand-over.
#include <errno.h>

#include <atomic>
#include <limits.h>
#include <linux/futex.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "platform/host_pool.h"
#include "platform/nt.h"
#include "host_internal.h"

namespace host {

namespace {
std::mutex faultContextLock;
std::string& FaultContext() {  // guarded by faultContextLock
  static auto* context = new std::string;
  return *context;
}
}  // namespace

void SetFaultContext(const std::string& context) {
  std::lock_guard<std::mutex> guard(faultContextLock);
  FaultContext() = context;
}

[[noreturn]] void PlatformFault(const char* what) {
  std::string context;
  {
    std::lock_guard<std::mutex> guard(faultContextLock);
    context = FaultContext();
  }
  fprintf(stderr, "host platform fault: %s\n", what);
  if (!context.empty()) fprintf(stderr, "host platform fault context: %s\n", context.c_str());
  fflush(stderr);
  abort();
}

}  // namespace host

namespace {

thread_local KIRQL currentIrql = PASSIVE_LEVEL;
thread_local int criticalRegionDepth = 0;
thread_local int kernelMutexesOwned = 0;  // kernel mutexes this thread owns
thread_local char threadIdentity;  // its address names the current thread
thread_local int extendedStateSaves = 0;  // saves not yet restored on this thread
std::atomic<bool> failExtendedStateSave{false};

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
    ++mutex->Header.Reserved0;
    return true;
  }
  LONG expected = 1;
  if (!__atomic_compare_exchange_n(&mutex->Header.SignalState, &expected, 0, false, __ATOMIC_ACQUIRE,
                                   __ATOMIC_RELAXED))
    return false;
  __atomic_store_n(&mutex->OwnerThread, CurrentThread(), __ATOMIC_RELEASE);
  mutex->Header.Reserved0 = 1;
  ++criticalRegionDepth;  // owning a kernel mutex holds off normal APCs
  ++kernelMutexesOwned;
  return true;
}

// Takes the object's signal if it is there: a notification event stays
// signalled, a synchronization event is reset by the wait it satisfies, a
// mutex becomes owned by the waiter. A notification event set since the wait
// began (signal count moved on) satisfies it even if it was reset since.
bool TryConsumeSignal(DISPATCHER_HEADER* header, LONG countAtStart) {
  if (header->Type == MutantObject) return TryAcquireMutex(reinterpret_cast<PKMUTEX>(header));
  if (header->Type == SynchronizationEvent) {
    LONG expected = 1;
    return __atomic_compare_exchange_n(&header->SignalState, &expected, 0, false,
                                       __ATOMIC_ACQUIRE, __ATOMIC_RELAXED);
  }
  return __atomic_load_n(&header->SignalState, __ATOMIC_ACQUIRE) != 0 ||
         __atomic_load_n(&header->SignalCount, __ATOMIC_ACQUIRE) != countAtStart;
}

// The dispatcher lock, as the kernel has one: a signal (the state and the
// signal count together) and a waiter's look at the object happen one at a
// time. A waiter that sees the signal therefore returns only once the
// signaller has stopped writing to the object, which is what makes an event
// on the waiter's stack safe to signal from a completion routine.
std::mutex dispatcherLock;

// Counts a signal of the object. Call with dispatcherLock held; wake the
// waiters with WakeAll after releasing it (a wake-up only names the address).
void CountSignalLocked(DISPATCHER_HEADER* header) {
  __atomic_add_fetch(&header->SignalCount, 1, __ATOMIC_ACQ_REL);
}

}  // namespace

// --- Kernel APCs --------------------------------------------------------------
// The platform finishes a synchronous request (status block, event, freeing)
// in a kernel APC queued to the thread that issued it. The APC runs only when
// that thread is below APC level; a thread that waits for such a request at
// APC level or above (holding a fast mutex, say) waits forever there, which
// the host turns into a fault.
namespace host {

struct ThreadApcs {
  std::mutex lock;                          // guards queue
  std::deque<std::function<void()>> queue;  // APCs not yet delivered
  std::atomic<int> outstanding{0};          // synchronous requests issued, not finished
  ~ThreadApcs() {
    if (outstanding.load() != 0) PlatformFault("a thread ended with a synchronous request in flight");
  }
};

namespace {
thread_local ThreadApcs threadApcs;
}

ThreadApcs* CurrentThreadApcs() { return &threadApcs; }

void NoteSynchronousRequestIssued(ThreadApcs* thread) { thread->outstanding.fetch_add(1); }

void QueueCompletionApc(ThreadApcs* thread, std::function<void()> apc) {
  {
    std::lock_guard<std::mutex> guard(thread->lock);
    thread->queue.push_back([thread, apc = std::move(apc)] {
      apc();
      thread->outstanding.fetch_sub(1);
    });
  }
  if (thread == &threadApcs && currentIrql < APC_LEVEL) DeliverApcs();
}

void DeliverApcs() {
  if (currentIrql >= APC_LEVEL) return;
  for (;;) {
    std::function<void()> apc;
    {
      std::lock_guard<std::mutex> guard(threadApcs.lock);
      if (threadApcs.queue.empty()) return;
      apc = std::move(threadApcs.queue.front());
      threadApcs.queue.pop_front();
    }
    apc();
  }
}

}  // namespace host

KIRQL KeGetCurrentIrql() { return currentIrql; }

void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
  if (newIrql < currentIrql) host::PlatformFault("KeRaiseIrql to a lower level");
  *oldIrql = currentIrql;
  currentIrql = newIrql;
}

void KeLowerIrql(KIRQL newIrql) {
  if (newIrql > currentIrql) host::PlatformFault("KeLowerIrql to a higher level");
  currentIrql = newIrql;
  host::DeliverApcs();
}

void KeEnterCriticalRegion() {
  if (currentIrql > APC_LEVEL) host::PlatformFault("KeEnterCriticalRegion above APC level");
  ++criticalRegionDepth;
}

void KeLeaveCriticalRegion() {
  if (--criticalRegionDepth < 0) host::PlatformFault("KeLeaveCriticalRegion without enter");
}

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  event->Header.Type = type;
  event->Header.SignalCount = 0;
  __atomic_store_n(&event->Header.SignalState, state ? 1 : 0, __ATOMIC_RELEASE);
}

LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait) {
  (void)increment;
  (void)wait;
  if (currentIrql > DISPATCH_LEVEL) host::PlatformFault("KeSetEvent above dispatch level");
  volatile LONG* wakeWord = &event->Header.SignalCount;
  LONG previous;
  {
    std::lock_guard<std::mutex> guard(dispatcherLock);
    previous = __atomic_exchange_n(&event->Header.SignalState, 1, __ATOMIC_ACQ_REL);
    CountSignalLocked(&event->Header);
  }
  WakeAll(wakeWord);  // the event may be gone by now; the wake-up touches no memory
  return previous;
}

LONG KeResetEvent(PRKEVENT event) {
  if (currentIrql > DISPATCH_LEVEL) host::PlatformFault("KeResetEvent above dispatch level");
  std::lock_guard<std::mutex> guard(dispatcherLock);
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
  if (mayBlock && currentIrql >= APC_LEVEL && host::CurrentThreadApcs()->outstanding.load() != 0)
    host::PlatformFault("wait at APC level with a synchronous request in flight: its completion "
                        "APC can never run on this thread (deadlock)");
  if (timeout != nullptr && timeout->QuadPart > 0)
    host::PlatformFault("absolute wait times are not used by this driver");
  int64_t deadline = timeout ? MonotonicNow100ns() - timeout->QuadPart : 0;
  LONG countAtStart = __atomic_load_n(&header->SignalCount, __ATOMIC_ACQUIRE);
  for (;;) {
    host::DeliverApcs();
    LONG count;
    {
      std::lock_guard<std::mutex> guard(dispatcherLock);
      count = __atomic_load_n(&header->SignalCount, __ATOMIC_ACQUIRE);
      if (TryConsumeSignal(header, countAtStart)) return STATUS_SUCCESS;
    }
    int64_t left = INT64_MAX;
    if (timeout != nullptr) {
      left = deadline - MonotonicNow100ns();
      if (left <= 0) return STATUS_TIMEOUT;
    }
    // A thread with requests in flight looks at its APC queue every
    // millisecond: the APC that ends its wait arrives without a wake-up.
    if (host::CurrentThreadApcs()->outstanding.load() != 0 && left > 10000) left = 10000;
    struct timespec remaining;
    struct timespec* limit = nullptr;
    if (left != INT64_MAX) {
      remaining.tv_sec = left / 10000000;
      remaining.tv_nsec = (left % 10000000) * 100;
      limit = &remaining;
    }
    Futex(&header->SignalCount, FUTEX_WAIT_PRIVATE, count, limit);
  }
}

void KeInitializeMutex(PRKMUTEX mutex, ULONG level) {
  (void)level;
  mutex->Header.Type = MutantObject;
  mutex->OwnerThread = nullptr;
  mutex->Header.Reserved0 = 0;
  mutex->Header.SignalCount = 0;
  __atomic_store_n(&mutex->Header.SignalState, 1, __ATOMIC_RELEASE);
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait) {
  (void)wait;
  if (__atomic_load_n(&mutex->OwnerThread, __ATOMIC_ACQUIRE) != CurrentThread())
    host::PlatformFault("KeReleaseMutex by a thread that does not own it");
  if (--mutex->Header.Reserved0 > 0) return 0;
  __atomic_store_n(&mutex->OwnerThread, nullptr, __ATOMIC_RELEASE);
  --criticalRegionDepth;
  --kernelMutexesOwned;
  volatile LONG* wakeWord = &mutex->Header.SignalCount;
  {
    std::lock_guard<std::mutex> guard(dispatcherLock);
    __atomic_store_n(&mutex->Header.SignalState, 1, __ATOMIC_RELEASE);
    CountSignalLocked(&mutex->Header);
  }
  WakeAll(wakeWord);
  return 0;
}

// The lock word holds its owner's identity, so that a thread taking a lock it
// already holds (which spins for ever on the platform) is caught at once.
void KeInitializeSpinLock(PKSPIN_LOCK lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
  KIRQL old = currentIrql;
  if (old > DISPATCH_LEVEL) host::PlatformFault("spin lock above dispatch level");
  auto self = reinterpret_cast<ULONG_PTR>(CurrentThread());
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == self)
    host::PlatformFault("spin lock acquired again by the thread that holds it (deadlock)");
  currentIrql = DISPATCH_LEVEL;
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
      return old;
    while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) sched_yield();
  }
}

void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
  ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (owner == 0) host::PlatformFault("release of a free spin lock");
  // Another processor's lock: releasing it lets two holders in at once.
  if (owner != reinterpret_cast<ULONG_PTR>(CurrentThread()))
    host::PlatformFault("KeReleaseSpinLock by a thread that does not hold the lock");
  if (currentIrql != DISPATCH_LEVEL) host::PlatformFault("KeReleaseSpinLock below dispatch level: the level was lowered while the lock was held");
  if (newIrql > currentIrql) host::PlatformFault("KeReleaseSpinLock to a higher level");
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
  currentIrql = newIrql;
  host::DeliverApcs();
}

// The host records in the save area the thread and the level of the save; a
// restore must come from the same thread, at the same level, in reverse order.
NTSTATUS KeSaveExtendedProcessorState(ULONGLONG mask, PXSTATE_SAVE state) {
  (void)mask;
  if (currentIrql > DISPATCH_LEVEL) host::PlatformFault("KeSaveExtendedProcessorState above dispatch level");
  memset(state, 0, sizeof(*state));
  if (failExtendedStateSave.load()) return STATUS_INSUFFICIENT_RESOURCES;
  state->Reserved[0] = reinterpret_cast<ULONGLONG>(CurrentThread());
  state->Reserved[1] = currentIrql;
  state->Reserved[2] = ULONGLONG(++extendedStateSaves);
  return STATUS_SUCCESS;
}

void KeRestoreExtendedProcessorState(PXSTATE_SAVE state) {
  if (state->Reserved[0] != reinterpret_cast<ULONGLONG>(CurrentThread()))
    host::PlatformFault("KeRestoreExtendedProcessorState without a save on this thread");
  if (state->Reserved[1] != currentIrql)
    host::PlatformFault("KeRestoreExtendedProcessorState at another level than the save");
  if (state->Reserved[2] != ULONGLONG(extendedStateSaves))
    host::PlatformFault("KeRestoreExtendedProcessorState out of order");
  --extendedStateSaves;
  state->Reserved[0] = 0;
}

namespace host {
void FailExtendedStateSaves(bool fail) { failExtendedStateSave.store(fail); }

ThreadKernelState CurrentThreadKernelState() {
  return ThreadKernelState{currentIrql, criticalRegionDepth - kernelMutexesOwned, kernelMutexesOwned};
}

void SignalForGood(DISPATCHER_HEADER* header) {
  volatile LONG* wakeWord = &header->SignalCount;
  {
    std::lock_guard<std::mutex> guard(dispatcherLock);
    __atomic_store_n(&header->SignalState, 1, __ATOMIC_RELEASE);
    CountSignalLocked(header);
  }
  WakeAll(wakeWord);
}
}  // namespace host

void ExInitializeFastMutex(PFAST_MUTEX mutex) {
  mutex->Count = 1;
  mutex->Owner = nullptr;
  mutex->Contention = 0;
  mutex->OldIrql = PASSIVE_LEVEL;
}

void ExAcquireFastMutex(PFAST_MUTEX mutex) {
  if (currentIrql > APC_LEVEL) host::PlatformFault("fast mutex above APC level");
  if (__atomic_load_n(&mutex->Owner, __ATOMIC_ACQUIRE) == CurrentThread())
    host::PlatformFault("fast mutex acquired again by the thread that holds it (deadlock)");
  for (;;) {
    LONG expected = 1;
    if (__atomic_compare_exchange_n(&mutex->Count, &expected, 0, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED))
      break;
    Futex(&mutex->Count, FUTEX_WAIT_PRIVATE, 0, nullptr);
  }
  __atomic_store_n(&mutex->Owner, CurrentThread(), __ATOMIC_RELEASE);
  mutex->OldIrql = currentIrql;
  currentIrql = APC_LEVEL;
}

void ExReleaseFastMutex(PFAST_MUTEX mutex) {
  if (__atomic_load_n(&mutex->Owner, __ATOMIC_ACQUIRE) != CurrentThread())
    host::PlatformFault("ExReleaseFastMutex by a thread that does not hold it");
  KIRQL old = KIRQL(mutex->OldIrql);
  __atomic_store_n(&mutex->Owner, nullptr, __ATOMIC_RELEASE);
  __atomic_store_n(&mutex->Count, 1, __ATOMIC_RELEASE);
  Futex(&mutex->Count, FUTEX_WAKE_PRIVATE, 1, nullptr);
  currentIrql = old;
  host::DeliverApcs();
}

void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  size_t length = 0;
  if (source != nullptr)
    while (source[length] != 0) ++length;
  destination->Buffer = const_cast<PWSTR>(source);
  destination->Length = USHORT(length * sizeof(WCHAR));
  destination->MaximumLength = USHORT((length + 1) * sizeof(WCHAR));
}

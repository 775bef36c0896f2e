// Shared between the host platform's own sources; not seen by the driver.
#pragma once

#include <functional>
#include <thread>

#include "platform/host_pool.h"
#include "platform/nt.h"

namespace host {

// A use of the platform that the real kernel would punish (a wait at dispatch
// level, a double free): abort with a message so the test fails loudly.
[[noreturn]] void PlatformFault(const char* what);

// Kernel APCs of one thread: the platform finishes a synchronous request in
// an APC to the thread that issued it.
struct ThreadApcs;
ThreadApcs* CurrentThreadApcs();
void NoteSynchronousRequestIssued(ThreadApcs* thread);
// Queues an APC to a thread; it runs when that thread is below APC level
// (at once if it is the current thread and already there).
void QueueCompletionApc(ThreadApcs* thread, std::function<void()> apc);
// Runs the current thread's APCs if its level allows.
void DeliverApcs();

// What the current thread holds that it must give back before it ends or
// returns to the class driver.
struct ThreadKernelState {
  KIRQL irql;
  int criticalRegions;  // entered with KeEnterCriticalRegion, not left
  int kernelMutexes;    // kernel mutexes owned
};
ThreadKernelState CurrentThreadKernelState();

// Signals a dispatcher object that stays signalled (an ended thread) and
// wakes its waiters.
void SignalForGood(DISPATCHER_HEADER* header);

// Threads the platform accounts for: the driver's system threads and the
// class driver's processing workers. The thread counts as live (and its CPU
// time towards its role) from before this returns until body has returned;
// then the thread runs afterwards, if given, unaccounted.
enum class ThreadRole;
std::thread StartAccountedThread(ThreadRole role, std::function<void()> body,
                                 std::function<void()> afterwards = nullptr);

// Live non-paged pool containing [address, address + length), or false.
bool IsNonPagedPoolRange(const void* address, size_t length);

// Counts one attempt of the kind and says whether the failure injection
// makes it fail; never for the rig's own allocations (RigAllocations).
bool InjectAllocationFailure(AllocationKind kind);
// While one lives on a thread, its pool allocations are not counted as pool
// attempts: the blocks of requests and descriptors, counted as their kind.
class UncountedPool {
 public:
  UncountedPool();
  ~UncountedPool();
  UncountedPool(const UncountedPool&) = delete;
  UncountedPool& operator=(const UncountedPool&) = delete;
};
// The class driver host reports devices as they are added and removed; the
// removal of the last one checks that the driver freed what it allocated.
void DriverDeviceAdded();
void DriverDeviceRemoved();

}  // namespace host

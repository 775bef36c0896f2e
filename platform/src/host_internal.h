// Shared between the host platform's own sources; not seen by the driver.
#pragma once

#include <functional>

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
// class driver's processing workers. A thread calls Enter first and Leave
// last; its CPU time then counts towards its role.
enum class ThreadRole;
void EnterAccountedThread(ThreadRole role);
void LeaveAccountedThread();

// Live non-paged pool containing [address, address + length), or false.
bool IsNonPagedPoolRange(const void* address, size_t length);

}  // namespace host

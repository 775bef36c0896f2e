// Shared between the host platform's own sources; not seen by the driver.
#pragma once

#include <functional>

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

// Live non-paged pool containing [address, address + length), or false.
bool IsNonPagedPoolRange(const void* address, size_t length);

}  // namespace host

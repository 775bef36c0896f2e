// System threads the capture owns, held by a referenced thread object so
// that their owner can wait for them to end.
#pragma once

#include "driver/kernel.h"

// Starts routine(context) on a new system thread and returns its referenced
// thread object, or null when no thread was started. The handle is a kernel
// handle, closed at once: the pin's state changes run in the client's
// process, and a plain handle would land in that process's handle table.
PVOID StartSystemThread(PKSTART_ROUTINE routine, PVOID context);
// Waits until the thread has ended and drops the reference. Passive level.
void JoinSystemThread(PVOID thread);
// Waits up to timeoutMs for the thread to end; true when it has.
bool WaitForSystemThread(PVOID thread, ULONG timeoutMs);
// Drops the reference of a thread that has ended.
void ReleaseSystemThread(PVOID thread);

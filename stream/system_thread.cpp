// Starting and joining the capture's system threads.
#include "stream/system_thread.h"

PVOID StartSystemThread(PKSTART_ROUTINE routine, PVOID context) {
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle;
  if (!NT_SUCCESS(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, routine, context)))
    return nullptr;
  // Referencing a kernel handle we were just given, with the access it was
  // made with, cannot fail: there is no path on which the thread runs and
  // nobody can wait for it.
  PVOID thread = nullptr;
  ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
  ZwClose(handle);
  return thread;
}

void JoinSystemThread(PVOID thread) {
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  ReleaseSystemThread(thread);
}

bool WaitForSystemThread(PVOID thread, ULONG timeoutMs) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -LONGLONG(timeoutMs) * 10000;  // relative, in 100 ns units
  return KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT;
}

void ReleaseSystemThread(PVOID thread) { ObDereferenceObject(thread); }

// System threads on the host: each runs on its own host thread with the
// platform's per-thread state, ends by returning or by PsTerminateSystemThread,
// and is a reference-counted dispatcher object. The CPU time of the threads
// the platform runs for the driver is accounted per role.
#include <setjmp.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "handles.h"
#include "host_internal.h"
#include "platform/host_threads.h"

namespace host {

namespace {

const ULONG kTagThread = 0x64726854;  // "Thrd"

// --- CPU accounting ----------------------------------------------------------

struct AccountedThread {
  pthread_t thread;
  ThreadRole role;
};

constexpr int kRoles = 2;
std::mutex accountingLock;
// All guarded by accountingLock.
uint64_t endedCpuNs[kRoles];
std::vector<AccountedThread>& LiveAccounted() {
  static auto* live = new std::vector<AccountedThread>;
  return *live;
}
thread_local int accountedRole = -1;

uint64_t ClockNanoseconds(clockid_t clock) {
  struct timespec now;
  if (clock_gettime(clock, &now) != 0) return 0;
  return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

// --- Thread objects ----------------------------------------------------------

// The object the driver waits on and references. The header comes first, so
// the object's address is that of a dispatcher object.
struct ThreadObjectRecord {
  DISPATCHER_HEADER header;
  PKSTART_ROUTINE start;
  PVOID context;
  NTSTATUS exitStatus;
  // Guarded by objectsLock: one reference for the open handle, one while the
  // thread runs, one per ObReferenceObjectByHandle not yet dropped.
  LONG references;
};

std::mutex objectsLock;
// Live thread objects, so a reference dropped once too often is caught even
// though the object is gone. Guarded by objectsLock.
std::set<ThreadObjectRecord*>& LiveObjects() {
  static auto* live = new std::set<ThreadObjectRecord*>;
  return *live;
}
std::atomic<bool> failCreation{false};
std::atomic<size_t> openThreadHandles{0};

// Drops one reference; frees the object with the last. Call with objectsLock held.
void DropReferenceLocked(ThreadObjectRecord* object) {
  if (--object->references > 0) return;
  LiveObjects().erase(object);
  ExFreePoolWithTag(object, kTagThread);
}

void CloseThreadHandle(void* object) {
  openThreadHandles.fetch_sub(1);
  std::lock_guard<std::mutex> guard(objectsLock);
  DropReferenceLocked(static_cast<ThreadObjectRecord*>(object));
}

// Where PsTerminateSystemThread returns to: the start of the thread's trampoline.
thread_local jmp_buf* terminateTarget = nullptr;

void CheckThreadEndsClean() {
  DeliverApcs();
  ThreadKernelState state = CurrentThreadKernelState();
  if (state.irql != PASSIVE_LEVEL) PlatformFault("a system thread ended at a raised IRQL");
  if (state.kernelMutexes != 0) PlatformFault("a system thread ended owning a kernel mutex");
  if (state.criticalRegions != 0) PlatformFault("a system thread ended inside a critical region");
}

// Runs in the new thread. The driver's frames below the setjmp have no
// destructors, so leaving them by longjmp is what the platform's own
// termination amounts to.
void RunSystemThread(ThreadObjectRecord* object) {
  EnterAccountedThread(ThreadRole::System);
  jmp_buf target;
  if (setjmp(target) == 0) {
    terminateTarget = &target;
    object->start(object->context);
  }
  terminateTarget = nullptr;
  CheckThreadEndsClean();
  LeaveAccountedThread();
  // The signal and the running reference's drop are one step for anyone who
  // dereferences after the wait: the object is freed by whoever is last.
  std::lock_guard<std::mutex> guard(objectsLock);
  SignalForGood(&object->header);
  DropReferenceLocked(object);
}

}  // namespace

void EnterAccountedThread(ThreadRole role) {
  std::lock_guard<std::mutex> guard(accountingLock);
  accountedRole = int(role);
  LiveAccounted().push_back(AccountedThread{pthread_self(), role});
}

void LeaveAccountedThread() {
  uint64_t spent = ClockNanoseconds(CLOCK_THREAD_CPUTIME_ID);
  std::lock_guard<std::mutex> guard(accountingLock);
  if (accountedRole < 0) PlatformFault("a thread left accounting it never entered");
  endedCpuNs[accountedRole] += spent;
  auto& live = LiveAccounted();
  for (auto it = live.begin(); it != live.end(); ++it)
    if (pthread_equal(it->thread, pthread_self())) {
      live.erase(it);
      break;
    }
  accountedRole = -1;
}

uint64_t ThreadCpuNanoseconds(ThreadRole role) {
  std::lock_guard<std::mutex> guard(accountingLock);
  uint64_t total = endedCpuNs[int(role)];
  for (const AccountedThread& thread : LiveAccounted()) {
    clockid_t clock;
    if (thread.role == role && pthread_getcpuclockid(thread.thread, &clock) == 0) total += ClockNanoseconds(clock);
  }
  return total;
}

size_t LiveThreads(ThreadRole role) {
  std::lock_guard<std::mutex> guard(accountingLock);
  size_t count = 0;
  for (const AccountedThread& thread : LiveAccounted()) count += thread.role == role;
  return count;
}

size_t LiveThreadObjects() {
  std::lock_guard<std::mutex> guard(objectsLock);
  return LiveObjects().size();
}

size_t OpenThreadHandles() { return openThreadHandles.load(); }

void FailThreadCreation(bool fail) { failCreation.store(fail); }

}  // namespace host

namespace {
struct _OBJECT_TYPE* threadTypeValue = reinterpret_cast<struct _OBJECT_TYPE*>(0x54687264);
}
POBJECT_TYPE* PsThreadType = &threadTypeValue;

ULONG KeQueryActiveProcessorCount(PKAFFINITY activeProcessors) {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  if (count < 1) count = 1;
  if (count > 64) count = 64;
  if (activeProcessors != nullptr) *activeProcessors = count == 64 ? ~KAFFINITY(0) : (KAFFINITY(1) << count) - 1;
  return ULONG(count);
}

NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                              HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext) {
  (void)desiredAccess;
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) host::PlatformFault("PsCreateSystemThread above passive level");
  if (threadHandle == nullptr || startRoutine == nullptr) host::PlatformFault("PsCreateSystemThread without a handle or routine");
  if (objectAttributes == nullptr || !(objectAttributes->Attributes & OBJ_KERNEL_HANDLE))
    host::PlatformFault("PsCreateSystemThread without OBJ_KERNEL_HANDLE: the handle would be the calling "
                        "process's, open to user mode");
  if (processHandle != nullptr) host::PlatformFault("PsCreateSystemThread into another process");
  if (host::failCreation.load()) return STATUS_INSUFFICIENT_RESOURCES;
  auto* object = static_cast<host::ThreadObjectRecord*>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(host::ThreadObjectRecord), host::kTagThread));
  if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  memset(object, 0, sizeof(*object));
  object->header.Type = ThreadObject;
  object->start = startRoutine;
  object->context = startContext;
  object->references = 2;  // the handle and the running thread
  {
    std::lock_guard<std::mutex> guard(host::objectsLock);
    host::LiveObjects().insert(object);
  }
  host::openThreadHandles.fetch_add(1);
  *threadHandle = host::OpenHandle(object, host::HandleKind::Thread, host::CloseThreadHandle);
  if (clientId != nullptr) {
    clientId->UniqueProcess = reinterpret_cast<HANDLE>(4);  // the system process
    clientId->UniqueThread = *threadHandle;
  }
  std::thread(host::RunSystemThread, object).detach();
  return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus) {
  (void)exitStatus;
  if (host::terminateTarget == nullptr) host::PlatformFault("PsTerminateSystemThread from a thread that is not a system thread");
  longjmp(*host::terminateTarget, 1);
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                   KPROCESSOR_MODE accessMode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handleInformation) {
  (void)desiredAccess;
  (void)handleInformation;
  if (KeGetCurrentIrql() > APC_LEVEL) host::PlatformFault("ObReferenceObjectByHandle above APC level");
  if (object == nullptr) host::PlatformFault("ObReferenceObjectByHandle without an object pointer");
  *object = nullptr;
  if (objectType != nullptr && objectType != *PsThreadType) return STATUS_OBJECT_TYPE_MISMATCH;
  if (accessMode != KernelMode) return STATUS_ACCESS_DENIED;  // kernel handles are not user mode's
  // Under the objects lock, so a close of the handle cannot free the object
  // between the look-up and the new reference.
  std::lock_guard<std::mutex> guard(host::objectsLock);
  auto* record = static_cast<host::ThreadObjectRecord*>(host::HandleObject(handle, host::HandleKind::Thread));
  if (record == nullptr) return STATUS_INVALID_HANDLE;
  ++record->references;
  *object = record;
  return STATUS_SUCCESS;
}

LONG_PTR ObfDereferenceObject(PVOID object) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) host::PlatformFault("ObDereferenceObject above dispatch level");
  auto* record = static_cast<host::ThreadObjectRecord*>(object);
  std::lock_guard<std::mutex> guard(host::objectsLock);
  if (host::LiveObjects().count(record) == 0) host::PlatformFault("ObDereferenceObject of an object with no reference left");
  LONG_PTR left = record->references - 1;
  host::DropReferenceLocked(record);
  return left;
}

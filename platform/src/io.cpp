// I/O requests and memory descriptor lists: allocation, the stack of
// locations, calling down, completion routines and cancellation, with the
// platform's semantics (a completion routine that returns
// STATUS_MORE_PROCESSING_REQUIRED ends completion and keeps the request).
#include <mutex>

#include "platform/host_pool.h"
#include "platform/nt.h"
#include "host_internal.h"

namespace {

const ULONG kTagIrp = 0x70724921;  // "!Irp"
const ULONG kTagMdl = 0x6c644d21;  // "!Mdl"

constexpr ULONG kIrpBuiltSynchronous = 0x1;  // built by IoBuildDeviceIoControlRequest

// The cancel spin lock of the platform: one for the whole system.
std::mutex cancelLock;
thread_local KIRQL irqlBeforeCancelLock = PASSIVE_LEVEL;

}  // namespace

PIRP IoAllocateIrp(CHAR stackSize, BOOLEAN chargeQuota) {
  (void)chargeQuota;
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) host::PlatformFault("IoAllocateIrp above dispatch level");
  if (stackSize < 1) return nullptr;
  if (host::InjectAllocationFailure(host::AllocationKind::Irp)) return nullptr;
  size_t bytes = sizeof(IRP) + size_t(stackSize) * sizeof(IO_STACK_LOCATION);
  host::UncountedPool requestBlock;
  auto* irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, bytes, kTagIrp));
  if (irp == nullptr) return nullptr;
  memset(irp, 0, bytes);
  irp->Size = USHORT(bytes);
  irp->StackCount = stackSize;
  // No location is current yet: the first call down moves to the last one.
  irp->CurrentLocation = CHAR(stackSize + 1);
  auto* locations = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Tail.Overlay.CurrentStackLocation = locations + stackSize;
  return irp;
}

void IoFreeIrp(PIRP irp) { ExFreePoolWithTag(irp, kTagIrp); }

// A synchronous request belongs to the thread that built it: its end (status
// block, event, freeing) is an APC to that thread, as on the platform.
PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength,
                                   PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event,
                                   PIO_STATUS_BLOCK ioStatusBlock) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) host::PlatformFault("IoBuildDeviceIoControlRequest above passive level");
  PIRP irp = IoAllocateIrp(deviceObject->StackSize, FALSE);
  if (irp == nullptr) return nullptr;
  irp->Flags |= kIrpBuiltSynchronous;
  host::ThreadApcs* thread = host::CurrentThreadApcs();
  irp->Tail.Overlay.Thread = thread;
  host::NoteSynchronousRequestIssued(thread);
  irp->UserIosb = ioStatusBlock;
  irp->UserEvent = event;
  irp->UserBuffer = outputBuffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
  return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) host::PlatformFault("IofCallDriver above dispatch level");
  if (irp->CurrentLocation <= 1) host::PlatformFault("IofCallDriver with no stack location left");
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  location->DeviceObject = deviceObject;
  PDRIVER_DISPATCH dispatch = deviceObject->DriverObject->MajorFunction[location->MajorFunction];
  if (dispatch == nullptr) host::PlatformFault("IofCallDriver to a driver without that dispatch entry");
  return dispatch(deviceObject, irp);
}

void IofCompleteRequest(PIRP irp, CHAR priorityBoost) {
  (void)priorityBoost;
  if (irp->IoStatus.Status == STATUS_PENDING) host::PlatformFault("request completed with STATUS_PENDING");
  auto* locations = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  PIO_STACK_LOCATION end = locations + irp->StackCount;
  // Walk up the stack: each location's completion routine belongs to the
  // driver above the one that owned the location.
  for (PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp); location < end;) {
    irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
    UCHAR control = location->Control;
    PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    PVOID context = location->Context;
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
    location++;
    NTSTATUS status = irp->IoStatus.Status;
    bool invoke = routine != nullptr &&
                  ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                   (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PDEVICE_OBJECT owner = location < end ? location->DeviceObject : nullptr;
      if (routine(owner, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (irp->PendingReturned && location < end) {
      location->Control |= SL_PENDING_RETURNED;
    }
  }
  if (irp->Flags & kIrpBuiltSynchronous) {
    auto* thread = static_cast<host::ThreadApcs*>(irp->Tail.Overlay.Thread);
    host::QueueCompletionApc(thread, [irp] {
      if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
      PKEVENT event = irp->UserEvent;
      IoFreeIrp(irp);
      if (event != nullptr) KeSetEvent(event, 0, FALSE);
    });
    return;
  }
  // A request the caller allocated and let complete all the way is the
  // caller's to free; nothing else to do here.
}

void IoAcquireCancelSpinLock(PKIRQL irql) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  cancelLock.lock();
  *irql = old;
}

void IoReleaseCancelSpinLock(KIRQL irql) {
  cancelLock.unlock();
  KeLowerIrql(irql);
}

BOOLEAN IoCancelIrp(PIRP irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) host::PlatformFault("IoCancelIrp above dispatch level");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  irp->CancelIrql = irql;
  // The routine releases the cancel spin lock itself, as on the platform.
  routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
  return TRUE;
}

// A descriptor has room for the page numbers of the range it was allocated
// for, and describes nothing usable until it is built (or built partially).
PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer,
                   BOOLEAN chargeQuota, PIRP irp) {
  (void)chargeQuota;
  if (length == 0) return nullptr;
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(virtualAddress, length);
  size_t bytes = sizeof(MDL) + size_t(pages) * sizeof(PFN_NUMBER);
  if (bytes > 0x7FFF) return nullptr;  // the size field is 16 bits wide
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) host::PlatformFault("IoAllocateMdl above dispatch level");
  if (host::InjectAllocationFailure(host::AllocationKind::Mdl)) return nullptr;
  host::UncountedPool descriptorBlock;
  auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, bytes, kTagMdl));
  if (mdl == nullptr) return nullptr;
  memset(mdl, 0, bytes);
  auto address = reinterpret_cast<ULONG_PTR>(virtualAddress);
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~ULONG_PTR(PAGE_SIZE - 1));
  mdl->ByteOffset = ULONG(address & (PAGE_SIZE - 1));
  mdl->ByteCount = length;
  mdl->Size = CSHORT(bytes);
  if (irp != nullptr) {
    if (!secondaryBuffer) {
      irp->MdlAddress = mdl;
    } else {
      PMDL last = irp->MdlAddress;
      while (last != nullptr && last->Next != nullptr) last = last->Next;
      if (last != nullptr) last->Next = mdl;
    }
  }
  return mdl;
}

void IoFreeMdl(PMDL mdl) { ExFreePoolWithTag(mdl, kTagMdl); }

static ULONG PagesRoomOf(PMDL mdl) { return ULONG((size_t(mdl->Size) - sizeof(MDL)) / sizeof(PFN_NUMBER)); }

// Only memory of a live non-paged pool allocation is resident without
// locking; anything else (stack, heap of another kind, freed pool) is a
// crash on the platform sooner or later, so the host stops here.
void MmBuildMdlForNonPagedPool(PMDL mdl) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) host::PlatformFault("MmBuildMdlForNonPagedPool above dispatch level");
  PVOID start = MmGetMdlVirtualAddress(mdl);
  if (!host::IsNonPagedPoolRange(start, mdl->ByteCount))
    host::PlatformFault("MmBuildMdlForNonPagedPool on memory that is not non-paged pool");
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(start, mdl->ByteCount);
  if (pages > PagesRoomOf(mdl)) host::PlatformFault("memory descriptor too small for its range");
  auto page = reinterpret_cast<ULONG_PTR>(mdl->StartVa) / PAGE_SIZE;
  for (ULONG i = 0; i < pages; ++i) MmGetMdlPfnArray(mdl)[i] = page + i;
  mdl->MappedSystemVa = start;
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

void IoBuildPartialMdl(PMDL sourceMdl, PMDL targetMdl, PVOID virtualAddress, ULONG length) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) host::PlatformFault("IoBuildPartialMdl above dispatch level");
  if (!(sourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_PAGES_LOCKED)))
    host::PlatformFault("IoBuildPartialMdl from a descriptor whose pages were never built");
  auto* sourceStart = static_cast<PCHAR>(MmGetMdlVirtualAddress(sourceMdl));
  auto* start = static_cast<PCHAR>(virtualAddress);
  if (start < sourceStart || start > sourceStart + sourceMdl->ByteCount ||
      ULONG_PTR(length) > ULONG_PTR(sourceStart + sourceMdl->ByteCount - start))
    host::PlatformFault("IoBuildPartialMdl outside the source descriptor");
  if (length == 0) length = ULONG(sourceStart + sourceMdl->ByteCount - start);
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(virtualAddress, length);
  if (pages > PagesRoomOf(targetMdl)) host::PlatformFault("IoBuildPartialMdl into a descriptor too small");
  auto address = reinterpret_cast<ULONG_PTR>(virtualAddress);
  targetMdl->StartVa = reinterpret_cast<PVOID>(address & ~ULONG_PTR(PAGE_SIZE - 1));
  targetMdl->ByteOffset = ULONG(address & (PAGE_SIZE - 1));
  targetMdl->ByteCount = length;
  ULONG firstPage = ULONG((address / PAGE_SIZE) - reinterpret_cast<ULONG_PTR>(sourceMdl->StartVa) / PAGE_SIZE);
  for (ULONG i = 0; i < pages; ++i) MmGetMdlPfnArray(targetMdl)[i] = MmGetMdlPfnArray(sourceMdl)[firstPage + i];
  targetMdl->MappedSystemVa = virtualAddress;
  targetMdl->MdlFlags = CSHORT(MDL_PARTIAL | (sourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL));
}

PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority) {
  (void)priority;
  if (!(mdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA)))
    host::PlatformFault("system address of a memory descriptor that was never built");
  return mdl->MappedSystemVa;
}

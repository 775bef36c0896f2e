// Frame transfer: one request per 64 KiB chunk of the raw frame buffer, all in
// flight at once, bracketed by frame halt and frame go. Completions run at
// dispatch level on any processor; chunkLock guards their bookkeeping.
#include "usb/frame_transfer.h"

#include "usb/command_packets.h"
#include "usb/usb_requests.h"

volatile LONG transferTimeoutMs = 3000;

namespace {

constexpr ULONG kBulkUrbSize = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);

void FreeChunk(ChunkRecord* record) {
  if (record->irp != nullptr) IoFreeIrp(record->irp);
  if (record->mdl != nullptr) IoFreeMdl(record->mdl);
  if (record->urb != nullptr) ExFreePoolWithTag(record->urb, kTagUsb);
  record->irp = nullptr;
  record->mdl = nullptr;
  record->urb = nullptr;
}

// The frame's last request has completed: release the per-frame records and
// wake the waiter. While a cancel walk is under way the walker does this when
// it leaves, so it never reads records that are gone. Called with chunkLock.
void FinishFrameLocked(UsbDevice* usb) {
  if (usb->cancelWalkers != 0 || usb->chunkRecords == nullptr) return;
  ExFreePoolWithTag(usb->chunkRecords, kTagUsb);
  IoFreeMdl(usb->frameMdl);
  usb->chunkRecords = nullptr;
  usb->frameMdl = nullptr;
  usb->chunkCount = 0;
  KeSetEvent(&usb->frameDoneEvent, IO_NO_INCREMENT, FALSE);
}

// Chunks that were never submitted will never complete: take them off the
// count so that neither the wait nor the next frame depends on them.
void ForgetUnsubmittedChunks(UsbDevice* usb, ULONG unsubmitted) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  usb->chunksOutstanding = unsubmitted < usb->chunksOutstanding ? usb->chunksOutstanding - unsubmitted : 0;
  if (usb->chunksOutstanding == 0) FinishFrameLocked(usb);
  KeReleaseSpinLock(&usb->chunkLock, irql);
}

// Builds and sends the request for one chunk. *sent tells whether the request
// went to the bus driver: if it did, its completion has run or will run, even
// when the call failed, and whatever status the bus driver returned (including
// STATUS_INSUFFICIENT_RESOURCES) is its answer; if it did not, an allocation
// failed and nothing of this chunk is left.
NTSTATUS SubmitChunk(UsbDevice* usb, const USBD_PIPE_INFORMATION* pipe, ChunkRecord* record,
                     PUCHAR address, ULONG length, bool* sent) {
  *sent = false;
  PIRP irp = IoAllocateIrp(CHAR(usb->lowerDeviceObject->StackSize + 1), FALSE);
  PMDL mdl = nullptr;
  PURB urb = nullptr;
  if (irp != nullptr)
    mdl = IoAllocateMdl(MmGetMdlVirtualAddress(usb->frameMdl), MmGetMdlByteCount(usb->frameMdl), FALSE,
                        FALSE, irp);
  if (mdl != nullptr) urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, kBulkUrbSize, kTagUsb));
  if (urb == nullptr) {
    if (mdl != nullptr) IoFreeMdl(mdl);
    if (irp != nullptr) IoFreeIrp(irp);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  IoBuildPartialMdl(usb->frameMdl, mdl, address, length);
  BuildBulkTransfer(urb, pipe, nullptr, mdl, MmGetMdlByteCount(mdl));

  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  record->usb = usb;
  record->urb = urb;
  record->irp = irp;
  record->mdl = mdl;
  KeReleaseSpinLock(&usb->chunkLock, irql);

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, ChunkCompletion, record, TRUE, TRUE, TRUE);
  *sent = true;
  return IoCallDriver(usb->lowerDeviceObject, irp);
}

// Sets up the records and the whole-buffer descriptor of a frame.
NTSTATUS PrepareFrame(UsbDevice* usb, PUCHAR buffer, ULONG size, ULONG chunks) {
  SIZE_T recordBytes = (SIZE_T(chunks) + 1) * sizeof(ChunkRecord);
  auto* records = static_cast<ChunkRecord*>(ExAllocatePoolWithTag(NonPagedPoolNx, recordBytes, kTagUsb));
  if (records == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(records, recordBytes);
  PMDL frameMdl = IoAllocateMdl(buffer, size, FALSE, FALSE, nullptr);
  if (frameMdl == nullptr) {
    ExFreePoolWithTag(records, kTagUsb);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  MmBuildMdlForNonPagedPool(frameMdl);
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  usb->chunkRecords = records;
  usb->chunkCount = chunks;
  usb->chunksOutstanding = chunks;
  usb->frameMdl = frameMdl;
  KeReleaseSpinLock(&usb->chunkLock, irql);
  return STATUS_SUCCESS;
}

}  // namespace

void SendTransferControl(DeviceContext* ctx, bool go) {
  const USBD_PIPE_INFORMATION* pipe = PipeAt(&ctx->usb, kCommandPipe);
  if (pipe == nullptr || pipe->PipeHandle == nullptr) return;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, kBulkUrbSize, kTagUsb));
  if (urb == nullptr) return;
  ctx->transferControlPacket[0] = go ? kCommandFrameGo : kCommandFrameHalt;
  BuildBulkTransfer(urb, pipe, ctx->transferControlPacket, nullptr, kPacketBytes);
  SubmitUrbWithTimeLimit(&ctx->usb, urb);
  ExFreePoolWithTag(urb, kTagUsb);
}

NTSTATUS ReadFrameChunked(DeviceContext* ctx, PUCHAR buffer, ULONG size) {
  UsbDevice* usb = &ctx->usb;
  if (usb->interfaceInfo == nullptr) return STATUS_UNSUCCESSFUL;
  if (usb->interfaceInfo->NumberOfPipes < 3) return STATUS_INVALID_PARAMETER;
  const USBD_PIPE_INFORMATION* pipe = PipeAt(usb, kFramePipe);
  if (!PipeIsBulkOrInterrupt(pipe)) return STATUS_INVALID_PARAMETER;
  if (pipe->PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;
  // A frame of no bytes would wait for a completion that never comes.
  if (buffer == nullptr || size == 0) return STATUS_INVALID_PARAMETER;

  ULONG chunks = ChunkCountFor(size);
  NTSTATUS status = PrepareFrame(usb, buffer, size, chunks);
  if (!NT_SUCCESS(status)) return status;
  KeResetEvent(&usb->frameDoneEvent);
  SendTransferControl(ctx, false);

  NTSTATUS loopStatus = STATUS_SUCCESS;
  ULONG submitted = 0;
  for (ULONG offset = 0; offset < size;) {
    ULONG length = size - offset < kChunkBytes ? size - offset : kChunkBytes;
    bool sent = false;
    NTSTATUS submission =
        SubmitChunk(usb, pipe, &usb->chunkRecords[submitted], buffer + offset, length, &sent);
    if (!sent) {
      loopStatus = STATUS_INSUFFICIENT_RESOURCES;  // nothing went out for this chunk
      break;
    }
    // From here the chunk is counted by its completion, whatever the bus said.
    ++submitted;
    offset += length;
    if (!NT_SUCCESS(submission)) {
      loopStatus = STATUS_TIMEOUT;  // the bus refused it and completed it with its error
      break;
    }
  }
  bool loopFailed = loopStatus != STATUS_SUCCESS;
  if (submitted < chunks) ForgetUnsubmittedChunks(usb, chunks - submitted);
  SendTransferControl(ctx, true);
  if (loopFailed && !NT_SUCCESS(ResetPipe(usb, kFramePipe))) ResetPortIfDisabled(usb);

  LARGE_INTEGER limit;
  limit.QuadPart = -LONGLONG(InterlockedCompareExchange(&transferTimeoutMs, 0, 0)) * 10000;
  if (KeWaitForSingleObject(&usb->frameDoneEvent, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT) {
    CancelChunkRequests(usb);
    return STATUS_TIMEOUT;
  }
  return loopFailed ? loopStatus : STATUS_SUCCESS;
}

NTSTATUS ChunkCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  auto* record = static_cast<ChunkRecord*>(context);
  if (record == nullptr || record->usb == nullptr || record->irp != irp) return irp->IoStatus.Status;
  UsbDevice* usb = record->usb;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  if (usb->chunkRecords == nullptr) {
    KeReleaseSpinLock(&usb->chunkLock, irql);
    return irp->IoStatus.Status;
  }
  if (usb->chunksOutstanding > 0) --usb->chunksOutstanding;
  irp->IoStatus.Information =
      NT_SUCCESS(irp->IoStatus.Status) ? record->urb->UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
  if (usb->cancelWalkers == 0) FreeChunk(record);
  record->usb = nullptr;  // completed; a walker frees what is left when it leaves
  if (usb->chunksOutstanding == 0) FinishFrameLocked(usb);
  KeReleaseSpinLock(&usb->chunkLock, irql);
  // The request belongs to the driver and is not completed further.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void CancelChunkRequests(UsbDevice* usb) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  ChunkRecord* records = usb->chunkRecords;
  ULONG count = usb->chunkCount;
  if (records != nullptr) ++usb->cancelWalkers;
  KeReleaseSpinLock(&usb->chunkLock, irql);
  if (records == nullptr) return;

  // A request is cancelled outside the lock: cancelling can complete it, and
  // run ChunkCompletion, on this very thread. While we walk, completions do
  // not free requests, so each pointer read under the lock stays valid.
  for (ULONG i = 0; i < count; ++i) {
    irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
    PIRP irp = records[i].usb != nullptr ? records[i].irp : nullptr;
    KeReleaseSpinLock(&usb->chunkLock, irql);
    if (irp != nullptr) IoCancelIrp(irp);
  }

  irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  bool frameOpen;
  if (--usb->cancelWalkers == 0) {
    for (ULONG i = 0; i < count; ++i)
      if (records[i].usb == nullptr) FreeChunk(&records[i]);
    if (usb->chunksOutstanding == 0) FinishFrameLocked(usb);
  }
  frameOpen = usb->chunkRecords == records;
  KeReleaseSpinLock(&usb->chunkLock, irql);
  if (frameOpen) KeWaitForSingleObject(&usb->frameDoneEvent, Executive, KernelMode, FALSE, nullptr);
}

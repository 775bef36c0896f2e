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

// The record of a request still in flight, or null. Called with chunkLock.
ChunkRecord* FindRecordLocked(UsbDevice* usb, PIRP irp) {
  if (usb->chunkRecords == nullptr) return nullptr;
  for (ULONG i = 0; i < usb->chunkCount; ++i)
    if (usb->chunkRecords[i].usb != nullptr && usb->chunkRecords[i].irp == irp) return &usb->chunkRecords[i];
  return nullptr;
}

// A cancel walk: cancels every request of the frame still in flight. The
// caller has raised cancelWalkers under chunkLock, which keeps the records
// and their requests from being freed while it walks. A request is cancelled
// outside the lock: cancelling can complete it, and run ChunkCompletion, on
// this very thread.
void CancelWalk(UsbDevice* usb, ChunkRecord* records, ULONG count) {
  for (ULONG i = 0; i < count; ++i) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
    PIRP irp = records[i].usb != nullptr ? records[i].irp : nullptr;
    KeReleaseSpinLock(&usb->chunkLock, irql);
    if (irp != nullptr) IoCancelIrp(irp);
  }
}

// Ends a cancel walk. The last walker frees what completed meanwhile and, if
// nothing is left in flight, the frame. Returns whether the frame is still
// open (its last completion has not run yet).
bool EndCancelWalk(UsbDevice* usb, ChunkRecord* records, ULONG count) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  if (--usb->cancelWalkers == 0) {
    for (ULONG i = 0; i < count; ++i)
      if (records[i].usb == nullptr) FreeChunk(&records[i]);
    if (usb->chunksOutstanding == 0) FinishFrameLocked(usb);
  }
  bool frameOpen = usb->chunkRecords == records;
  KeReleaseSpinLock(&usb->chunkLock, irql);
  return frameOpen;
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
  // The context is the transport record; the completion finds the chunk's
  // record by its request under chunkLock.
  IoSetCompletionRoutine(irp, ChunkCompletion, usb, TRUE, TRUE, TRUE);
  *sent = true;
  return IoCallDriver(usb->lowerDeviceObject, irp);
}

// Sets up the records and the whole-buffer descriptor of a frame, and sets
// the frame's flags as it publishes them: the frame counts as cancelled when
// a cancel came after its read began at cancel count readStart.
NTSTATUS PrepareFrame(UsbDevice* usb, PUCHAR buffer, ULONG size, ULONG chunks, ULONG readStart) {
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
  usb->frameCancelled = usb->cancelCount != readStart;
  usb->chunkFailed = FALSE;
  usb->frameHalted = FALSE;
  KeReleaseSpinLock(&usb->chunkLock, irql);
  return STATUS_SUCCESS;
}

bool FrameCancelAsked(UsbDevice* usb) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  bool asked = usb->frameCancelled != FALSE;
  KeReleaseSpinLock(&usb->chunkLock, irql);
  return asked;
}

// Queues the frame's chunk requests, stopping early when a submission fails
// or a cancel is asked. Returns STATUS_SUCCESS, STATUS_TIMEOUT (the bus
// refused a request), STATUS_INSUFFICIENT_RESOURCES or STATUS_CANCELLED;
// *submitted counts the requests that went to the bus.
NTSTATUS SubmitChunks(UsbDevice* usb, const USBD_PIPE_INFORMATION* pipe, PUCHAR buffer, ULONG size,
                      ULONG* submitted) {
  *submitted = 0;
  for (ULONG offset = 0; offset < size;) {
    if (FrameCancelAsked(usb)) return STATUS_CANCELLED;
    ULONG length = size - offset < kChunkBytes ? size - offset : kChunkBytes;
    bool sent = false;
    NTSTATUS submission =
        SubmitChunk(usb, pipe, &usb->chunkRecords[*submitted], buffer + offset, length, &sent);
    if (!sent) return STATUS_INSUFFICIENT_RESOURCES;  // nothing went out for this chunk
    // From here the chunk is counted by its completion, whatever the bus said.
    ++*submitted;
    offset += length;
    if (!NT_SUCCESS(submission)) return STATUS_TIMEOUT;  // the bus refused it and completed it with its error
  }
  return STATUS_SUCCESS;
}

// Brings the frame pipe back after a failed transfer halted it. The bus
// refuses to reset a pipe with transfers still queued, and an abort completes
// before the transfers it cancels, so: abort, wait until the frame's own
// requests have all completed, then reset; if the reset fails, reset the port
// when it is connected but disabled.
void RecoverFramePipe(UsbDevice* usb) {
  AbortPipe(usb, kFramePipe);
  WithdrawChunkRequests(usb);
  NTSTATUS status = ResetPipe(usb, kFramePipe);
  if (!NT_SUCCESS(status)) ResetPortIfDisabled(usb);
  usb->framePipeNeedsReset = NT_SUCCESS(status) ? FALSE : TRUE;
}

// How the frame ended once all its requests completed: a halted endpoint is
// recovered before the next frame, and any failed chunk spoils the frame.
NTSTATUS FrameOutcome(UsbDevice* usb) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  bool failed = usb->chunkFailed != FALSE;
  bool halted = usb->frameHalted != FALSE;
  bool cancelled = usb->frameCancelled != FALSE;
  KeReleaseSpinLock(&usb->chunkLock, irql);
  if (halted) RecoverFramePipe(usb);
  if (!failed) return STATUS_SUCCESS;
  return cancelled && !halted ? STATUS_CANCELLED : STATUS_DEVICE_DATA_ERROR;
}

// Whether a failed chunk failed on the wire, which halts the endpoint: not a
// cancel, not a device that is gone, not a request the bus driver refused
// before it reached the endpoint (its URB then carries no error).
bool HaltsTheEndpoint(NTSTATUS status, USBD_STATUS usbStatus) {
  return !NT_SUCCESS(status) && status != STATUS_CANCELLED && !USBD_SUCCESS(usbStatus) &&
         usbStatus != USBD_STATUS_CANCELED && usbStatus != USBD_STATUS_DEVICE_GONE &&
         usbStatus != USBD_STATUS_INSUFFICIENT_RESOURCES;
}

}  // namespace

NTSTATUS SendTransferControl(DeviceContext* ctx, bool go) {
  const USBD_PIPE_INFORMATION* pipe = PipeAt(&ctx->usb, kCommandPipe);
  if (pipe == nullptr || pipe->PipeHandle == nullptr) return STATUS_INVALID_DEVICE_STATE;
  auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, kBulkUrbSize, kTagUsb));
  if (urb == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ctx->transferControlPacket[0] = go ? kCommandFrameGo : kCommandFrameHalt;
  BuildBulkTransfer(urb, pipe, ctx->transferControlPacket, nullptr, kPacketBytes);
  NTSTATUS status = SubmitUrbWithTimeLimit(&ctx->usb, urb);
  if (NT_SUCCESS(status) && USBD_ERROR(urb->UrbHeader.Status)) status = STATUS_UNSUCCESSFUL;
  ExFreePoolWithTag(urb, kTagUsb);
  if (!NT_SUCCESS(status)) RecoverCommandPipe(ctx);
  return status;
}

ULONG CurrentCancelCount(UsbDevice* usb) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  ULONG count = usb->cancelCount;
  KeReleaseSpinLock(&usb->chunkLock, irql);
  return count;
}

NTSTATUS ReadFrameChunked(DeviceContext* ctx, PUCHAR buffer, ULONG size) {
  return ReadFrameChunkedSince(ctx, buffer, size, CurrentCancelCount(&ctx->usb));
}

NTSTATUS ReadFrameChunkedSince(DeviceContext* ctx, PUCHAR buffer, ULONG size, ULONG readStart) {
  UsbDevice* usb = &ctx->usb;
  if (usb->interfaceInfo == nullptr) return STATUS_UNSUCCESSFUL;
  if (usb->interfaceInfo->NumberOfPipes < 3) return STATUS_INVALID_PARAMETER;
  const USBD_PIPE_INFORMATION* pipe = PipeAt(usb, kFramePipe);
  if (!PipeIsBulkOrInterrupt(pipe)) return STATUS_INVALID_PARAMETER;
  if (pipe->PipeHandle == nullptr) return STATUS_UNSUCCESSFUL;
  // A frame of no bytes would wait for a completion that never comes.
  if (buffer == nullptr || size == 0) return STATUS_INVALID_PARAMETER;
  if (usb->framePipeNeedsReset) RecoverFramePipe(usb);
  if (CurrentCancelCount(usb) != readStart) return STATUS_CANCELLED;  // nothing sent yet

  // The event is reset before the records are published: a cancel that sees
  // them then waits for this frame's last completion, not a stale signal.
  KeResetEvent(&usb->frameDoneEvent);
  ULONG chunks = ChunkCountFor(size);
  NTSTATUS status = PrepareFrame(usb, buffer, size, chunks, readStart);
  if (!NT_SUCCESS(status)) return status;
  // Without the halt the camera may still be sending a frame that an
  // earlier go started (a read cut short by a pause, a time-out or a cancel):
  // chunks queued now would take its tail and the head of the next frame, a
  // torn picture that nothing could tell from a whole one. Such a read is
  // given up before anything is queued; the next one halts again.
  NTSTATUS haltStatus = SendTransferControl(ctx, false);
  if (!NT_SUCCESS(haltStatus)) {
    ForgetUnsubmittedChunks(usb, chunks);
    WithdrawChunkRequests(usb);  // outlasts a cancel walk that still holds the records
    return haltStatus;
  }
  ULONG submitted = 0;
  NTSTATUS loopStatus = SubmitChunks(usb, pipe, buffer, size, &submitted);
  if (submitted < chunks) ForgetUnsubmittedChunks(usb, chunks - submitted);
  SendTransferControl(ctx, true);
  if (loopStatus == STATUS_CANCELLED) {
    // A canceller may have walked past chunks submitted after it looked; and
    // a chunk may have failed on the wire before the cancel.
    WithdrawChunkRequests(usb);
    FrameOutcome(usb);
    return STATUS_CANCELLED;
  }

  LARGE_INTEGER limit;
  limit.QuadPart = -LONGLONG(InterlockedCompareExchange(&transferTimeoutMs, 0, 0)) * 10000;
  bool timedOut =
      KeWaitForSingleObject(&usb->frameDoneEvent, Executive, KernelMode, FALSE, &limit) == STATUS_TIMEOUT;
  if (timedOut) WithdrawChunkRequests(usb);
  if (loopStatus != STATUS_SUCCESS) {
    // A refused or missing request leaves the pipe in an unknown state.
    RecoverFramePipe(usb);
    return loopStatus;
  }
  NTSTATUS outcome = FrameOutcome(usb);
  return timedOut ? STATUS_TIMEOUT : outcome;
}

// Runs at dispatch level or below. Whatever it finds, it returns
// STATUS_MORE_PROCESSING_REQUIRED: the request is the driver's own, with no
// thread behind it, and completing it further would hand it to the I/O
// manager. The first chunk that fails on the wire halts the endpoint, so the
// rest of the frame can never arrive: its other requests are cancelled at once.
NTSTATUS NTAPI ChunkCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  auto* usb = static_cast<UsbDevice*>(context);
  if (usb == nullptr) return STATUS_MORE_PROCESSING_REQUIRED;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  ChunkRecord* record = FindRecordLocked(usb, irp);
  if (record == nullptr) {
    KeReleaseSpinLock(&usb->chunkLock, irql);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  if (usb->chunksOutstanding > 0) --usb->chunksOutstanding;
  NTSTATUS status = irp->IoStatus.Status;
  NoteRequestOutcome(usb, status, record->urb->UrbHeader.Status);
  irp->IoStatus.Information =
      NT_SUCCESS(status) ? record->urb->UrbBulkOrInterruptTransfer.TransferBufferLength : 0;
  bool startWalk = false;
  if (!NT_SUCCESS(status)) usb->chunkFailed = TRUE;
  if (HaltsTheEndpoint(status, record->urb->UrbHeader.Status) && !usb->frameHalted) {
    usb->frameHalted = TRUE;
    startWalk = usb->chunksOutstanding > 0;
  }
  if (usb->cancelWalkers == 0) FreeChunk(record);
  record->usb = nullptr;  // completed; a walker frees what is left when it leaves
  if (startWalk) ++usb->cancelWalkers;
  if (usb->chunksOutstanding == 0) FinishFrameLocked(usb);
  ChunkRecord* records = usb->chunkRecords;
  ULONG count = usb->chunkCount;
  KeReleaseSpinLock(&usb->chunkLock, irql);
  if (startWalk) {
    CancelWalk(usb, records, count);
    EndCancelWalk(usb, records, count);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void CancelChunkRequests(UsbDevice* usb) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  ++usb->cancelCount;  // a read that has begun but not yet queued anything stops too
  KeReleaseSpinLock(&usb->chunkLock, irql);
  WithdrawChunkRequests(usb);
}

void WithdrawChunkRequests(UsbDevice* usb) {
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&usb->chunkLock);
  ChunkRecord* records = usb->chunkRecords;
  ULONG count = usb->chunkCount;
  if (records != nullptr) {
    ++usb->cancelWalkers;
    usb->frameCancelled = TRUE;  // the submission loop stops at its next chunk
  }
  KeReleaseSpinLock(&usb->chunkLock, irql);
  if (records == nullptr) return;
  CancelWalk(usb, records, count);
  if (EndCancelWalk(usb, records, count))
    KeWaitForSingleObject(&usb->frameDoneEvent, Executive, KernelMode, FALSE, nullptr);
}

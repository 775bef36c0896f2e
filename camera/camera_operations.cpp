// The camera operations the streaming side calls through the operation table.
#include "driver/device_context.h"
#include "usb/command_packets.h"
#include "usb/frame_transfer.h"
#include "usb/usb_requests.h"

void DeviceContext::NotifyFrameReady() {
  if (frameSink != nullptr) frameSink->FrameReady();
}

void GetFrameLayout(DeviceContext* ctx, FrameLayout* layout) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&ctx->layoutLock, &oldIrql);
  layout->lineOffset = ctx->lineOffset;
  layout->rowPitch = ctx->rowPitch;
  layout->frameBytes = ctx->frameBytes;
  KeReleaseSpinLock(&ctx->layoutLock, oldIrql);
}

// Reads one raw frame. A frame that began while a clock change was pending,
// or that had to wait for one, is never good: the sensor was re-initialised
// under it. The layout is taken after the wait, when the clock change has
// settled it, and a frame that would not fit the caller's buffer is not read.
NTSTATUS DeviceContext::ReadFrame(PUCHAR buffer, ULONG bufferBytes, BOOLEAN* frameGood) {
  *frameGood = FALSE;
  // A cancel from here on ends this read, even before its requests exist.
  ULONG readStart = CurrentCancelCount(&usb);
  frameSpoiled = 0;
  bool wasPending = InterlockedExchange(&reconfigurePending, 0) != 0;
  if (wasPending) {
    // The event stays set: only the next clock change resets it, before it
    // raises its mark. Resetting it here could swallow the signal of a
    // change that began after the one we waited for.
    KeWaitForSingleObject(&reconfigureDone, Executive, KernelMode, FALSE, nullptr);
    frameSpoiled = 1;
  }
  FrameLayout layout;
  GetFrameLayout(this, &layout);
  if (layout.frameBytes > bufferBytes) {
    frameSpoiled = 0;
    return STATUS_BUFFER_TOO_SMALL;
  }
  // The device stops without the capture thread's say: no configuration,
  // no frame.
  if (!EnterRundown(&configRundown)) {
    frameSpoiled = 0;
    return STATUS_INVALID_DEVICE_STATE;
  }
  // The halt's own outcome does not matter, but a failed packet leaves the
  // command endpoint halted; a read cancelled before it sends anything else
  // would leave it so, and the next register write would be lost.
  PreparePacket(frameRequestPacket, kCommandFrameHalt);
  ULONG transferred = 0;
  if (!NT_SUCCESS(PipeExchange(this, kCommandPipe, frameRequestPacket, &transferred))) RecoverCommandPipe(this);
  NTSTATUS status = ReadFrameChunkedSince(this, buffer, layout.frameBytes, readStart);
  LeaveRundown(&configRundown);
  if (frameSpoiled > 0) {
    frameSpoiled = 0;
  } else {
    *frameGood = !wasPending && status == STATUS_SUCCESS;
  }
  return status;
}

void DeviceContext::GetFrameBytes(ULONG* value) {
  FrameLayout layout;
  GetFrameLayout(this, &layout);
  *value = layout.frameBytes;
}

void DeviceContext::GetLineOffset(ULONG* value) {
  FrameLayout layout;
  GetFrameLayout(this, &layout);
  *value = layout.lineOffset;
}

void DeviceContext::GetRowPitch(ULONG* value) {
  FrameLayout layout;
  GetFrameLayout(this, &layout);
  *value = layout.rowPitch;
}

void DeviceContext::AbortMarkedPipes() {
  if (!EnterRundown(&configRundown)) return;
  if (usb.interfaceInfo != nullptr && usb.pipeResetMarks != nullptr) {
    for (ULONG pipe = 0; pipe < usb.interfaceInfo->NumberOfPipes; ++pipe) {
      if (usb.pipeResetMarks[pipe] == 0) continue;
      NTSTATUS status = AbortPipe(&usb, pipe);
      if (status == STATUS_INSUFFICIENT_RESOURCES) break;
      if (NT_SUCCESS(status)) usb.pipeResetMarks[pipe] = 0;
    }
  }
  LeaveRundown(&configRundown);
}

void DeviceContext::CancelRead() {
  CancelChunkRequests(&usb);
  InterlockedExchange(&reconfigurePending, 0);
  KeSetEvent(&reconfigureDone, IO_NO_INCREMENT, FALSE);
}

void DeviceContext::ResetReconfigure() {
  frameSpoiled = 0;
  InterlockedExchange(&reconfigurePending, 0);
}

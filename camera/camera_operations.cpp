// The camera operations the streaming side calls through the operation table.
#include "driver/device_context.h"
#include "usb/command_packets.h"
#include "usb/frame_transfer.h"
#include "usb/usb_requests.h"

void DeviceContext::NotifyFrameReady() {
  if (frameSink != nullptr) frameSink->FrameReady();
}

// Reads one raw frame. A frame that began while a clock change was pending,
// or that had to wait for one, is never good: the sensor was re-initialised
// under it.
NTSTATUS DeviceContext::ReadFrame(PUCHAR buffer, BOOLEAN* frameGood) {
  ULONG size = frameBytes;
  frameSpoiled = 0;
  bool wasPending = InterlockedExchange(&reconfigurePending, 0) != 0;
  if (wasPending) {
    KeWaitForSingleObject(&reconfigureDone, Executive, KernelMode, FALSE, nullptr);
    KeResetEvent(&reconfigureDone);
    frameSpoiled = 1;
  }
  PreparePacket(frameRequestPacket, kCommandFrameHalt);
  ULONG transferred = 0;
  PipeExchange(this, kCommandPipe, frameRequestPacket, &transferred);
  NTSTATUS status = ReadFrameChunked(this, buffer, size);
  if (frameSpoiled > 0) {
    frameSpoiled = 0;
    *frameGood = FALSE;
  } else {
    *frameGood = !wasPending && status == STATUS_SUCCESS;
  }
  return status;
}

void DeviceContext::GetFrameBytes(ULONG* value) { *value = frameBytes; }
void DeviceContext::GetLineOffset(ULONG* value) { *value = lineOffset; }
void DeviceContext::GetRowPitch(ULONG* value) { *value = rowPitch; }

void DeviceContext::AbortMarkedPipes() {
  if (usb.interfaceInfo == nullptr || usb.pipeResetMarks == nullptr) return;
  for (ULONG pipe = 0; pipe < usb.interfaceInfo->NumberOfPipes; ++pipe) {
    if (usb.pipeResetMarks[pipe] == 0) continue;
    NTSTATUS status = AbortPipe(&usb, pipe);
    if (status == STATUS_INSUFFICIENT_RESOURCES) return;
    if (NT_SUCCESS(status)) usb.pipeResetMarks[pipe] = 0;
  }
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

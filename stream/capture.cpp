// The capture thread and its double-buffered raw frames. The thread only
// reads frames; converting is the processing pass's job, so reading the next
// frame overlaps converting the last one, and a slow client costs dropped
// raw frames, never a stalled camera.
#include "stream/capture_context.h"

#include "camera/sensor.h"
#include "driver/device_context.h"
#include "imaging/frame_conversion.h"
#include "stream/band_workers.h"
#include "stream/system_thread.h"
#include "usb/usb_requests.h"

namespace {

PUCHAR AllocateFrameBuffer(ULONG64 bytes) {
  if (bytes == 0 || bytes > 0xFFFFFFFFull) return nullptr;
  return static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, SIZE_T(bytes), kTagFrames));
}

void FreeFrameBuffer(PUCHAR* buffer) {
  if (*buffer != nullptr) ExFreePoolWithTag(*buffer, kTagFrames);
  *buffer = nullptr;
}

constexpr ULONG kRecancelIntervalMs = 20;

// A camera that has gone (unplugged, or its device stopped) fails every read
// at once; reading again without a pause would keep a processor busy for
// nothing. After a few failures in a row the thread waits a little between
// reads, on the stop event so that a stop is never delayed. One failure (a
// spoiled frame, a bus hiccup) is retried at once.
constexpr ULONG kFailuresBeforeBackOff = 2;
constexpr LONGLONG kBackOff100ns = 20 * 10000;

void BackOff(CaptureContext* capture) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -kBackOff100ns;
  KeWaitForSingleObject(&capture->stopRequested, Executive, KernelMode, FALSE, &timeout);
}

bool RunFlag(CaptureContext* capture) { return InterlockedCompareExchange(&capture->run, 0, 0) != 0; }

void CountDropped(CaptureContext* capture) { InterlockedIncrement(&capture->framesDropped); }

// Picks the raw buffer to fill: a free one, else the one not being
// converted. A ready frame picked here is overwritten: it is dropped.
// Called with bufferLock held.
ULONG ChooseBufferToFill(CaptureContext* capture) {
  if (capture->bufferState[0] == kBufferFree) return 0;
  if (capture->bufferState[1] == kBufferFree) return 1;
  ULONG chosen = capture->bufferState[0] == kBufferConverting ? 1 : 0;
  if (capture->bufferState[chosen] == kBufferReady) CountDropped(capture);
  return chosen;
}

// Reads one raw frame into the buffer; true for a good frame. A frame that
// arrived whole but is not good (a clock change spoiled it) is dropped.
bool ReadOneFrame(CaptureContext* capture, ULONG buffer) {
  if (capture->phase != kCaptureRunning) return false;
  BOOLEAN good = FALSE;
  NTSTATUS status = capture->camera->ReadFrame(capture->rawBuffer[buffer], capture->rawBytes, &good);
  if (good) InterlockedIncrement(&capture->framesCaptured);
  else if (status == STATUS_SUCCESS) CountDropped(capture);
  return good;
}

// Ready frames that will never be converted (the capture starts over, or
// its buffers go) are dropped, and their buffers are free again. A buffer
// being converted is left to the processing pass, which frees it.
void DiscardReadyFrames(CaptureContext* capture) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&capture->bufferLock, &oldIrql);
  for (RawBufferState& state : capture->bufferState) {
    if (state == kBufferReady) CountDropped(capture);
    if (state != kBufferConverting) state = kBufferFree;
  }
  KeReleaseSpinLock(&capture->bufferLock, oldIrql);
}

// A frame read that a stop cancelled can still report success from the
// transfer; it is never marked ready once the run flag is down, so a stop
// never delivers a frame the camera did not finish.
void NTAPI CaptureThreadMain(PVOID context) {
  auto* capture = static_cast<CaptureContext*>(context);
  ULONG failures = 0;
  while (RunFlag(capture)) {
    if (failures >= kFailuresBeforeBackOff) BackOff(capture);
    KIRQL oldIrql;
    KeAcquireSpinLock(&capture->bufferLock, &oldIrql);
    ULONG buffer = ChooseBufferToFill(capture);
    capture->bufferState[buffer] = kBufferFilling;
    KeReleaseSpinLock(&capture->bufferLock, oldIrql);

    bool good = ReadOneFrame(capture, buffer);

    KeAcquireSpinLock(&capture->bufferLock, &oldIrql);
    bool ready = good && RunFlag(capture);
    capture->bufferState[buffer] = ready ? kBufferReady : kBufferFree;
    KeReleaseSpinLock(&capture->bufferLock, oldIrql);
    if (good && !ready) CountDropped(capture);  // read as the capture stopped
    if (ready) capture->camera->NotifyFrameReady();
    failures = good ? 0 : failures + 1;
    if (!good && DeviceGone(&capture->camera->usb)) {
      // Nothing more comes from a camera that has left the bus: the thread
      // ends, and the processing pass it wakes hands the client's frames
      // back failed.
      capture->camera->NotifyFrameReady();
      break;
    }
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

void ReleaseCaptureMemory(CaptureContext* capture) {
  StopBandWorkers(capture->bandWorkers);
  capture->bandWorkers = nullptr;
  FreeFrameBuffer(&capture->outputImage);
  FreeFrameBuffer(&capture->rawBuffer[0]);
  FreeFrameBuffer(&capture->rawBuffer[1]);
  capture->rawBytes = 0;
}

ULONG BandsWanted(CaptureContext* capture) {
  ULONG bands = PreferredBandCount();
  if (capture->bandLimit != 0 && capture->bandLimit < bands) bands = capture->bandLimit;
  return bands;
}

}  // namespace

// First run after the pin was idle: settles the camera's frame layout and
// makes every buffer the capture needs, so that nothing is allocated per
// frame.
NTSTATUS StartCapture(DeviceContext* device) {
  CaptureContext* capture = device->capture;
  device->bayerPhase = ComputeBayerPhase(device);
  if (device->pipeline != nullptr) SetBayerPhase(device->pipeline, device->bayerPhase);
  InterlockedExchange(&capture->converting, 0);
  InterlockedExchange(&capture->framesCaptured, 0);
  capture->pipeline = device->pipeline;

  device->ApplySettings();
  // The camera left while its settings went out: there is nothing to run.
  if (DeviceGone(&device->usb)) return STATUS_DEVICE_NOT_CONNECTED;
  ULONG frameBytes = 0;
  device->GetFrameBytes(&frameBytes);
  // Without a layout there is no frame to read: the camera did not answer
  // while its settings were applied.
  if (frameBytes == 0 || capture->pipeline == nullptr) return STATUS_INVALID_DEVICE_STATE;
  capture->rawBuffer[0] = AllocateFrameBuffer(frameBytes);
  capture->rawBuffer[1] = AllocateFrameBuffer(frameBytes);
  capture->outputImage = AllocateFrameBuffer(ULONG64(ULONG(device->outputWidth)) * ULONG(device->outputHeight) * 4);
  if (capture->rawBuffer[0] == nullptr || capture->rawBuffer[1] == nullptr || capture->outputImage == nullptr) {
    ReleaseCaptureMemory(capture);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  capture->rawBytes = frameBytes;

  ImagePipeline* pipeline = capture->pipeline;
  SetPipelineGeometry(pipeline, device->outputWidth, device->outputHeight);
  if (!NT_SUCCESS(AllocateWorkBuffer(pipeline))) {
    ReleaseCaptureMemory(capture);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  pipeline->outputImage = capture->outputImage;
  // Fewer bands (down to one) when workers cannot be had: slower, not wrong.
  capture->bandWorkers = StartBandWorkers(BandsWanted(capture));

  capture->phase = kCaptureRunning;
  StartCaptureThread(capture);
  return STATUS_SUCCESS;
}

void StartCaptureThread(CaptureContext* capture) {
  capture->camera->ResetReconfigure();
  KeResetEvent(&capture->stopRequested);
  DiscardReadyFrames(capture);
  InterlockedExchange(&capture->run, 1);
  // Without a thread the pin runs and delivers nothing; the next start
  // tries again.
  capture->thread = StartSystemThread(CaptureThreadMain, capture);
}

// Lowers the run flag, cancels the frame read in progress so the thread sees
// it at once, waits for the thread to end and then for a processing pass
// that is still converting. A read cancels only requests that exist: a
// thread that looked at the run flag just before it was lowered can start
// its read after the cancel, so the cancel is repeated until the thread is
// gone rather than leaving it to a frame time or a transfer time-out.
void StopCaptureThread(CaptureContext* capture) {
  InterlockedExchange(&capture->run, 0);
  KeSetEvent(&capture->stopRequested, IO_NO_INCREMENT, FALSE);
  capture->camera->CancelRead();
  capture->camera->AbortMarkedPipes();
  if (capture->thread != nullptr) {
    while (!WaitForSystemThread(capture->thread, kRecancelIntervalMs)) capture->camera->CancelRead();
    ReleaseSystemThread(capture->thread);
    capture->thread = nullptr;
  }
  KeResetEvent(&capture->conversionDone);
  if (InterlockedCompareExchange(&capture->converting, 0, 0) != 0)
    KeWaitForSingleObject(&capture->conversionDone, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseCaptureBuffers(CaptureContext* capture) {
  StopCaptureThread(capture);
  DiscardReadyFrames(capture);
  capture->phase = kCaptureIdle;
  if (capture->pipeline != nullptr) {
    capture->pipeline->outputImage = nullptr;
    FreeWorkBuffer(capture->pipeline);
  }
  ReleaseCaptureMemory(capture);
}

bool ConvertReadyFrame(CaptureContext* capture) {
  InterlockedExchange(&capture->converting, 1);
  KIRQL oldIrql;
  KeAcquireSpinLock(&capture->bufferLock, &oldIrql);
  LONG taken = -1;
  if (capture->bufferState[0] == kBufferReady) taken = 0;
  else if (capture->bufferState[1] == kBufferReady) taken = 1;
  if (taken >= 0) capture->bufferState[taken] = kBufferConverting;
  KeReleaseSpinLock(&capture->bufferLock, oldIrql);
  if (taken < 0) return false;

  ULONG lineOffset = 0;
  ULONG rowPitch = 0;
  capture->camera->GetLineOffset(&lineOffset);
  capture->camera->GetRowPitch(&rowPitch);
  ConvertFrame(capture->pipeline, capture->rawBuffer[taken], capture->rawBytes, lineOffset, rowPitch,
               BandRunnerOf(capture->bandWorkers), BandCountOf(capture->bandWorkers));

  KeAcquireSpinLock(&capture->bufferLock, &oldIrql);
  capture->bufferState[taken] = kBufferFree;
  KeReleaseSpinLock(&capture->bufferLock, oldIrql);
  return true;
}

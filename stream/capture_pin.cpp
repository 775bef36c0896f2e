// The capture pin's dispatch: creation and format checks, the state table
// that attaches the pin to its camera and runs the capture, and the
// processing pass that converts a ready raw frame into the client's frame.
#include "stream/capture_pin.h"

#include <stddef.h>

#include <new>

#include "camera/sensor.h"
#include "driver/device_context.h"
#include "imaging/image_pipeline.h"
#include "stream/ks_guids.h"
#include "usb/usb_requests.h"

namespace {

constexpr ULONG kVideoFormatBytes = sizeof(KSDATAFORMAT) + sizeof(KS_VIDEOINFOHEADER);
constexpr ULONG kBeforeBitmap = offsetof(KS_VIDEOINFOHEADER, bmiHeader);
static_assert(kVideoFormatBytes == 152 && kBeforeBitmap == 48, "video format layout");

PinContext* PinContextOf(PKSPIN pin) { return static_cast<PinContext*>(pin->Context); }

const KS_VIDEOINFOHEADER* VideoInfoOf(const KSDATAFORMAT* format) {
  return reinterpret_cast<const KS_VIDEOINFOHEADER*>(reinterpret_cast<const UCHAR*>(format) + sizeof(KSDATAFORMAT));
}

ULONG64 Magnitude(LONG value) { return value < 0 ? ULONG64(-LONGLONG(value)) : ULONG64(value); }

// A client's connection format against the pin's range: the right kind of
// format, a bitmap header inside it, the range's height and compression, at
// least its width, and an image size that holds every 32-bit pixel. The
// pixel count is taken in 64 bits: a width that makes the 32-bit product
// wrap would otherwise pass with a tiny image size.
NTSTATUS CheckVideoFormat(const KSDATAFORMAT* format, const KSDATARANGE* dataRange) {
  if (!IsEqualGUID(format->Specifier, kFormatSpecifierVideoInfo) || format->FormatSize < kVideoFormatBytes)
    return STATUS_NO_MATCH;
  if (dataRange == nullptr || dataRange->FormatSize < sizeof(KS_DATARANGE_VIDEO)) return STATUS_NO_MATCH;
  const KS_BITMAPINFOHEADER& bitmap = VideoInfoOf(format)->bmiHeader;
  if (ULONG64(bitmap.biSize) + kBeforeBitmap + sizeof(KSDATAFORMAT) > format->FormatSize)
    return STATUS_INVALID_PARAMETER;
  const KS_BITMAPINFOHEADER& range = reinterpret_cast<const KS_DATARANGE_VIDEO*>(dataRange)->VideoInfoHeader.bmiHeader;
  if (bitmap.biWidth < range.biWidth || Magnitude(bitmap.biHeight) != Magnitude(range.biHeight) ||
      bitmap.biCompression != range.biCompression)
    return STATUS_NO_MATCH;
  if (ULONG64(bitmap.biWidth) * Magnitude(bitmap.biHeight) * 4 > bitmap.biSizeImage) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

// Takes the video info header of an accepted format: the bytes its bitmap
// header says it has, at most the record's, and the row advance it implies.
void AdoptFormat(PinContext* context, const KSDATAFORMAT* format) {
  const KS_VIDEOINFOHEADER* info = VideoInfoOf(format);
  ULONG64 bytes = ULONG64(info->bmiHeader.biSize) + kBeforeBitmap;
  if (bytes > sizeof(KS_VIDEOINFOHEADER)) bytes = sizeof(KS_VIDEOINFOHEADER);
  RtlZeroMemory(&context->videoInfo, sizeof(KS_VIDEOINFOHEADER));
  memcpy(&context->videoInfo, info, SIZE_T(bytes));
  LONG width = context->videoInfo.bmiHeader.biWidth;
  context->outputStride = width > 0 ? ULONG(width) * 4 : 0;
}

void NTAPI FreePinContext(PVOID record) { ExFreePoolWithTag(record, kTagRecords); }

// The pin's own descriptor and allocator framing, announcing two frames of
// exactly the format's image size to the allocator.
NTSTATUS AnnounceFrameSize(PKSPIN pin, ULONG imageBytes) {
  NTSTATUS status = _KsEdit(pin->Bag, reinterpret_cast<PVOID*>(const_cast<KSPIN_DESCRIPTOR_EX**>(&pin->Descriptor)),
                            sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), kTagFrames);
  if (!NT_SUCCESS(status)) return status;
  auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
  status = _KsEdit(pin->Bag,
                   reinterpret_cast<PVOID*>(const_cast<KSALLOCATOR_FRAMING_EX**>(&descriptor->AllocatorFraming)),
                   sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), kTagFrames);
  if (!NT_SUCCESS(status)) return status;
  KS_FRAMING_ITEM& item = const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming)->FramingItem[0];
  item.Frames = 2;
  item.PhysicalRange.MinFrameSize = item.PhysicalRange.MaxFrameSize = imageBytes;
  item.PhysicalRange.Stepping = 0;
  item.FramingRange.Range.MinFrameSize = item.FramingRange.Range.MaxFrameSize = imageBytes;
  item.FramingRange.Range.Stepping = 0;
  return STATUS_SUCCESS;
}

// The stop half of the state table: ends the capture and, at STOP, gives
// the device back. Holds the processing mutex throughout, so no processing
// pass runs while the thread is stopped and the buffers are freed.
void ReleaseCapture(PinContext* context) {
  if (context->phase == kCaptureIdle) return;
  ReleaseCaptureBuffers(context->device->capture);
  context->phase = kCaptureIdle;
}

// A camera that has left the bus cannot be claimed or run; the way down
// (pause, acquire, stop) always works, so a client can always close.
bool CameraGone(PinContext* context) { return DeviceGone(&context->device->usb); }

NTSTATUS StopToAcquire(PinContext* context) {
  if (CameraGone(context)) return STATUS_DEVICE_NOT_CONNECTED;
  NTSTATUS status = AttachPin(context->device, context, &context->videoInfo);
  context->acquired = NT_SUCCESS(status);
  if (!context->acquired) return status;
  // Without a clock the frames carry no time stamp; that is not an error.
  if (!NT_SUCCESS(KsPinGetReferenceClockInterface(context->pin, &context->referenceClock)))
    context->referenceClock = nullptr;
  return STATUS_SUCCESS;
}

void AcquireToStop(PinContext* context) {
  KsPinAcquireProcessingMutex(context->pin);
  ReleaseCapture(context);
  KsPinReleaseProcessingMutex(context->pin);
  if (!context->acquired) return;
  if (context->referenceClock != nullptr) {
    context->referenceClock->Release();
    context->referenceClock = nullptr;
  }
  DetachPin(context->device);
  context->acquired = FALSE;
}

NTSTATUS PauseToRun(PinContext* context) {
  if (CameraGone(context)) return STATUS_DEVICE_NOT_CONNECTED;
  CaptureContext* capture = context->device->capture;
  if (context->phase == kCapturePaused) {
    if (capture->phase == kCapturePaused) {
      capture->phase = kCaptureRunning;
      StartCaptureThread(capture);
    }
  } else {
    NTSTATUS status = StartCapture(context->device);
    if (!NT_SUCCESS(status)) return status;
  }
  context->phase = kCaptureRunning;
  return STATUS_SUCCESS;
}

void RunToPause(PinContext* context) {
  CaptureContext* capture = context->device->capture;
  KsPinAcquireProcessingMutex(context->pin);
  if (capture->phase == kCaptureRunning) {
    StopCaptureThread(capture);
    capture->phase = kCapturePaused;
  }
  KsPinReleaseProcessingMutex(context->pin);
  context->phase = kCapturePaused;
}

// Bottom row first, as a bottom-up bitmap with a positive height expects,
// each row trimmed to the image width and placed at the format's row
// advance. Only whole rows that fit the client's frame are written: a frame
// smaller than the format says (user mode can make one) is filled as far as
// it goes. Returns the bytes the frame now holds.
ULONG CopyImageToFrame(const PinContext* context, const CaptureContext* capture, PUCHAR frame, ULONG frameExtent) {
  const DeviceContext* device = context->device;
  ULONG rowBytes = ULONG(device->imageWidth) * 4;
  ULONG advance = context->outputStride > rowBytes ? context->outputStride : rowBytes;
  SIZE_T sourcePitch = SIZE_T(ULONG(device->outputWidth)) * 4;
  const UCHAR* source = capture->outputImage + SIZE_T(device->imageHeight - 1) * sourcePitch;
  ULONG64 offset = 0;
  for (LONG row = 0; row < device->imageHeight && offset + rowBytes <= frameExtent; ++row) {
    memcpy(frame + offset, source, rowBytes);
    source -= sourcePitch;
    offset += advance;
  }
  ULONG imageBytes = context->videoInfo.bmiHeader.biSizeImage;
  return imageBytes < frameExtent ? imageBytes : frameExtent;
}

// Hands every queued client frame back with "not connected": no picture will
// come for them. Frames the client queues later come back the same way on
// the next pass.
void FailQueuedFrames(PKSPIN pin) {
  for (PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
       pointer != nullptr; pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED)) {
    pointer->StreamHeader->DataUsed = 0;
    KsStreamPointerSetStatusCode(pointer, STATUS_DEVICE_NOT_CONNECTED);
    KsStreamPointerUnlock(pointer, TRUE);
  }
}

void StampFrame(PinContext* context, PKSSTREAM_HEADER header) {
  header->PresentationTime.Numerator = 1;
  header->PresentationTime.Denominator = 1;
  header->Duration = context->videoInfo.AvgTimePerFrame;
  if (context->referenceClock != nullptr) {
    header->PresentationTime.Time = context->referenceClock->GetTime();
    header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
  } else {
    header->PresentationTime.Time = 0;
  }
}

}  // namespace

void PinContext::FrameReady() { KsPinAttemptProcessing(pin, TRUE); }

NTSTATUS NTAPI CapturePinCreate(PKSPIN pin, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  DeviceContext* device = DeviceContextOf(KsGetDevice(pin));
  if (device == nullptr) return STATUS_INVALID_DEVICE_STATE;
  PVOID memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PinContext), kTagRecords);
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(memory, sizeof(PinContext));
  auto* context = new (memory) PinContext();
  context->pin = pin;
  context->device = device;
  context->phase = kCaptureIdle;

  SetPinOpen(device, 1);
  NTSTATUS status = KsAddItemToObjectBag(pin->Bag, context, FreePinContext);
  if (!NT_SUCCESS(status)) {
    SetPinOpen(device, 0);
    FreePinContext(context);
    return status;
  }
  pin->Context = context;
  // The format was checked before the pin was created; a wider one than
  // the image sets the row advance from the start, as a later change does.
  AdoptFormat(context, pin->ConnectionFormat);
  status = AnnounceFrameSize(pin, context->videoInfo.bmiHeader.biSizeImage);
  // A pin whose creation failed is never closed: its record goes with its
  // bag, and the device must not stay frozen for it.
  if (!NT_SUCCESS(status)) SetPinOpen(device, 0);
  return status;
}

NTSTATUS NTAPI CapturePinClose(PKSPIN pin, PIRP irp) {
  UNREFERENCED_PARAMETER(irp);
  PinContext* context = PinContextOf(pin);
  if (context != nullptr) {
    context->outputStride = 0;
    SetPinOpen(context->device, 0);
  }
  return STATUS_SUCCESS;
}

// Called before Create with no old format while the class driver builds the
// pin, and with the old format when a client changes an existing pin's
// format. A rejected change keeps the pin's format and row advance.
NTSTATUS NTAPI CapturePinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributeList,
                                 const KSDATARANGE* dataRange, const KSATTRIBUTE_LIST* attributeRange) {
  UNREFERENCED_PARAMETER(oldAttributeList);
  UNREFERENCED_PARAMETER(attributeRange);
  NTSTATUS status = CheckVideoFormat(pin->ConnectionFormat, dataRange);
  if (!NT_SUCCESS(status) || oldFormat == nullptr) return status;
  PinContext* context = PinContextOf(pin);
  if (context == nullptr || pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  AdoptFormat(context, pin->ConnectionFormat);
  return STATUS_SUCCESS;
}

// The class driver steps through neighbouring states one at a time.
NTSTATUS NTAPI CapturePinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState) {
  PinContext* context = PinContextOf(pin);
  if (context == nullptr) return STATUS_INVALID_DEVICE_STATE;
  switch (toState) {
    case KSSTATE_ACQUIRE:
      if (fromState == KSSTATE_STOP) return StopToAcquire(context);
      // From pause: the buffers go, the device claim stays.
      KsPinAcquireProcessingMutex(pin);
      ReleaseCapture(context);
      KsPinReleaseProcessingMutex(pin);
      return STATUS_SUCCESS;
    case KSSTATE_STOP:
      AcquireToStop(context);
      return STATUS_SUCCESS;
    case KSSTATE_PAUSE:
      if (fromState == KSSTATE_RUN) RunToPause(context);
      return STATUS_SUCCESS;
    case KSSTATE_RUN:
      return PauseToRun(context);
  }
  return STATUS_SUCCESS;
}

// Converts the newest ready raw frame (also when the client has no frame
// queued, so the next frame it queues gets a fresh picture) and hands the
// picture to the client's oldest queued frame. Called by the class driver
// one pass at a time, in the run state, with the processing mutex held.
NTSTATUS NTAPI CapturePinProcess(PKSPIN pin) {
  PinContext* context = PinContextOf(pin);
  if (context != nullptr && CameraGone(context)) {
    FailQueuedFrames(pin);
    return STATUS_PENDING;
  }
  CaptureContext* capture = context != nullptr ? context->device->capture : nullptr;
  if (capture == nullptr || InterlockedCompareExchange(&capture->framesCaptured, 0, 0) <= 0 ||
      capture->outputImage == nullptr)
    return STATUS_PENDING;
  PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (ConvertReadyFrame(capture))
    InterlockedIncrement(pointer != nullptr ? &capture->framesDelivered : &capture->framesDropped);
  if (pointer != nullptr) {
    PKSSTREAM_HEADER header = pointer->StreamHeader;
    header->DataUsed = CopyImageToFrame(context, capture, static_cast<PUCHAR>(header->Data), header->FrameExtent);
    StampFrame(context, header);
    KsStreamPointerUnlock(pointer, TRUE);
  }
  InterlockedExchange(&capture->converting, 0);
  KeSetEvent(&capture->conversionDone, 1, FALSE);
  return STATUS_PENDING;
}

NTSTATUS AttachPin(DeviceContext* device, PinContext* pinContext, KS_VIDEOINFOHEADER* videoInfo) {
  // A start that could not make its capture record leaves nothing to run.
  if (device->capture == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  if (InterlockedCompareExchange(&device->pinAcquired, 1, 0) != 0) return STATUS_SHARING_VIOLATION;
  device->pinFormat = videoInfo;
  ImagePipeline* old = RemovePipeline(device);
  if (old != nullptr) FreeImagePipeline(old);
  if (videoInfo->bmiHeader.biBitCount != 32 || videoInfo->bmiHeader.biCompression != KS_BI_RGB) {
    DetachPin(device);
    return STATUS_INVALID_PARAMETER;
  }
  ImagePipeline* pipeline = nullptr;
  if (!NT_SUCCESS(CreateImagePipeline(&pipeline))) {
    DetachPin(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  SetAutoWhiteBalance(pipeline, device->whiteBalance);
  SetBayerPhase(pipeline, device->bayerPhase);
  SetColourEnable(pipeline, LONG(device->colourEnable));
  SetRedGain(pipeline, LONG(device->redGain));
  SetGreenGain(pipeline, LONG(device->greenGain));
  SetBlueGain(pipeline, LONG(device->blueGain));
  UpdateCorrection(pipeline, LONG(device->colourCorrection));
  UpdateBrightness(pipeline, LONG(device->brightness));
  UpdateContrast(pipeline, LONG(device->contrast));
  UpdateSaturation(pipeline, LONG(device->saturation));
  UpdateHue(pipeline, LONG(device->hue));
  InstallPipeline(device, pipeline);
  device->frameSink = pinContext;
  return STATUS_SUCCESS;
}

void DetachPin(DeviceContext* device) {
  ImagePipeline* pipeline = RemovePipeline(device);
  if (pipeline != nullptr) FreeImagePipeline(pipeline);
  device->frameSink = nullptr;
  device->pinFormat = nullptr;
  InterlockedExchange(&device->pinAcquired, 0);
}

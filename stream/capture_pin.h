// The capture pin: its dispatch operations and the per-pin record.
#pragma once

#include "camera/camera_object.h"
#include "driver/kernel.h"
#include "stream/capture_context.h"

class DeviceContext;

// One per capture pin: the pin's context, owned by its object bag. The
// capture thread tells it through FrameSink when a raw frame is ready.
class PinContext final : public FrameSink {
 public:
  void FrameReady() override;

  PKSPIN pin;
  DeviceContext* device;
  CapturePhase phase;
  PIKSREFERENCECLOCK referenceClock;  // obtained at acquire, released at stop
  KS_VIDEOINFOHEADER videoInfo;       // the connection format's video info header
  BOOLEAN acquired;
  // Bytes from one client row to the next: biWidth x 4 of the format, which
  // may be wider than the image; 0 means rows packed at imageWidth x 4.
  ULONG outputStride;
};

NTSTATUS NTAPI CapturePinCreate(PKSPIN pin, PIRP irp);
NTSTATUS NTAPI CapturePinClose(PKSPIN pin, PIRP irp);
NTSTATUS NTAPI CapturePinProcess(PKSPIN pin);
NTSTATUS NTAPI CapturePinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributeList,
                                 const KSDATARANGE* dataRange, const KSATTRIBUTE_LIST* attributeRange);
NTSTATUS NTAPI CapturePinSetDeviceState(PKSPIN pin, KSSTATE toState, KSSTATE fromState);

// The device claim of an acquired pin: its format, pipeline and frame sink.
NTSTATUS AttachPin(DeviceContext* device, PinContext* pinContext, KS_VIDEOINFOHEADER* videoInfo);
void DetachPin(DeviceContext* device);

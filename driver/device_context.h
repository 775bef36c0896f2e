// The per-device record: the KS device's context from add until the device
// goes away. It is also the camera object, so its first member is the table
// of camera operations.
#pragma once

#include "camera/camera_object.h"
#include "driver/kernel.h"
#include "driver/rundown.h"
#include "usb/usb_device.h"

struct CaptureContext;
struct ImagePipeline;

constexpr ULONG kPacketBytes = 64;
constexpr LONG kSensorWidth = 2560;
constexpr LONG kSensorHeight = 1920;

// Where the samples lie in a raw frame as the bridge sends it: lineOffset
// lead-in bytes, then one row every rowPitch bytes; frameBytes in all.
struct FrameLayout {
  ULONG lineOffset;
  ULONG rowPitch;
  ULONG frameBytes;
};

class DeviceContext final : public CameraObject {
 public:
  // Camera operations, in slot order.
  void NotifyFrameReady() override;
  LONG ApplySettings() override;
  NTSTATUS ReadFrame(PUCHAR buffer, ULONG bufferBytes, BOOLEAN* frameGood) override;
  void GetFrameBytes(ULONG* value) override;
  void GetLineOffset(ULONG* value) override;
  void GetRowPitch(ULONG* value) override;
  void AbortMarkedPipes() override;
  void CancelRead() override;
  void ResetReconfigure() override;

  PKSDEVICE ksDevice;
  UsbDevice usb;
  LONG exTrigger;
  LONG frameTimeoutMs;  // the "Timeout" setting; the transfer uses transferTimeoutMs
  ULONG exposure;
  ULONG globalGain;
  LONG flipH;
  LONG flipV;
  ULONG colourEnable;
  LONG whiteBalance;
  ULONG redGain;
  ULONG greenGain;
  ULONG blueGain;
  ULONG colourCorrection;
  ULONG brightness;
  ULONG contrast;
  ULONG saturation;
  ULONG hue;
  LONG subSample;
  LONG roiX;
  LONG roiY;
  LONG roiWidth;
  LONG roiHeight;
  LONG bayerPhase;
  LONG halfClock;
  LONG agc;
  LONG aec;
  UCHAR commandPacket[kPacketBytes];          // register and clock exchanges
  UCHAR frameRequestPacket[kPacketBytes];     // capture thread only
  UCHAR transferControlPacket[kPacketBytes];  // capture thread only
  volatile LONG pinAcquired;
  CaptureContext* capture;
  ImagePipeline* pipeline;  // guarded by pipelineRundown: see ReferencePipeline
  FrameSink* frameSink;
  PKS_VIDEOINFOHEADER pinFormat;
  LONG outputHeight;
  LONG outputWidth;
  ULONG lineOffset;  // lineOffset, rowPitch and frameBytes: guarded by layoutLock
  ULONG rowPitch;
  ULONG frameBytes;
  LONG imageWidth;
  LONG imageHeight;
  // The data range every filter of this device offers on its capture pin:
  // this camera's own output size. Rewritten only by SetGeometry, which the
  // camera refuses while a pin exists, and read by the class driver for
  // range queries and intersections.
  KS_DATARANGE_VIDEO videoRange;
  volatile LONG pinOpen;
  volatile LONG reconfigurePending;
  LONG frameSpoiled;
  KEVENT reconfigureDone;
  // Serialises every exchange on the command and reply pipes that uses
  // commandPacket, and the read-modify-write of sensor registers with the
  // settings stored from them: replies carry no tag, so a read's two replies
  // must reach the thread that sent it. Also held by Start and Stop while they
  // replace or free the configuration those exchanges use. Taken by client
  // threads, start-up, stop and pin state changes; never by the capture
  // thread or anything a frame read calls, since Stop holds it while it
  // waits for a frame read to end.
  KMUTEX exchangeMutex;

  // The last identity the sensor gave in full (chip identification and
  // variant register). A read that fails after a clock change says nothing
  // about the chip, so it never replaces a good identity. Guarded by
  // exchangeMutex.
  ULONG sensorChipId;
  ULONG sensorVariant;
  BOOLEAN sensorIdentified;

  // Guards the frame layout (lineOffset, rowPitch, frameBytes) and
  // layoutFixed, so that readers get the three as one layout. The capture
  // pin sizes its raw buffers from the layout, so once a pin has one it is
  // fixed (layoutFixed) until the pin goes: no later ApplySettings, whatever
  // the sensor answers, can make a frame longer than those buffers.
  KSPIN_LOCK layoutLock;
  BOOLEAN layoutFixed;

  // Guards the configuration that Start builds and Stop frees (the usb
  // fields configDescriptor, interfaceInfo and pipeResetMarks) against the
  // users that do not hold exchangeMutex: frame reads and pipe aborts enter
  // it. Register and command exchanges hold exchangeMutex instead, which
  // Start and Stop also hold while they change the configuration. Closed
  // from Add to Start and from Stop to the next Start.
  Rundown configRundown;

  // Guards the pipeline pointer for the property paths that publish into the
  // live pipeline (the mirrors publish the Bayer phase, white balance its
  // switch and gains, and every image control will): they hold a reference
  // while they touch it. The pin installs a pipeline at acquire and removes
  // it at the acquire-to-stop transition, which waits until no reference is
  // held before the pipeline is freed. The pointer is written only while the
  // guard is closed and read only inside it. The capture thread and Process
  // use the capture's own copy, which lives only while they run.
  Rundown pipelineRundown;
};

// The live pipeline with a reference held, or null when there is none.
// Every pipeline it returns is given back with ReleasePipeline; keep the
// reference short (publish a value, rebuild a matrix). Up to dispatch level.
ImagePipeline* ReferencePipeline(DeviceContext* ctx);
void ReleasePipeline(DeviceContext* ctx);
// The pipeline's owner, one state change at a time: install makes a pipeline
// live when none is; remove takes the live one away (or null) once no
// reference is held, for the caller to free. Passive level.
void InstallPipeline(DeviceContext* ctx, ImagePipeline* pipeline);
ImagePipeline* RemovePipeline(DeviceContext* ctx);

// The raw frame layout as one consistent set. Any IRQL up to dispatch level.
void GetFrameLayout(DeviceContext* ctx, FrameLayout* layout);

// The record as the KS device's context.
inline DeviceContext* DeviceContextOf(PKSDEVICE device) {
  return device == nullptr ? nullptr : static_cast<DeviceContext*>(device->Context);
}

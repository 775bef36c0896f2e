// Programming the image sensor and the bridge: initialisation, window and
// subsampling, frame geometry, exposure, gain, mirroring, trigger and clock.
// Setting operations hold the exchange mutex for their whole read-modify-write.
#pragma once

#include "driver/device_context.h"

// Sensor registers the driver programs.
enum SensorRegister : UCHAR {
  kRegChipId = 0x00,
  kRegRowStart = 0x01,
  kRegColumnStart = 0x02,
  kRegWindowHeight = 0x03,
  kRegWindowWidth = 0x04,
  kRegExposureHigh = 0x08,
  kRegExposureLow = 0x09,
  kRegOutputControl = 0x0D,
  kRegTrigger = 0x1E,
  kRegMirror = 0x20,
  kRegRowSkip = 0x22,
  kRegColumnSkip = 0x23,
  kRegGreen1Gain = 0x2B,
  kRegBlueGain = 0x2C,
  kRegRedGain = 0x2D,
  kRegGreen2Gain = 0x2E,
  kRegGlobalGain = 0x35,
  kRegChipVariant = 0xFD,
};

constexpr ULONG kMaxExposure = 6400;
constexpr ULONG kMaxGlobalGain = 63;

// Programs the sensor's start-up registers. STATUS_IO_TIMEOUT when the camera
// stopped answering (the rest is then skipped), else STATUS_SUCCESS.
NTSTATUS InitSensor(DeviceContext* ctx);
void SetGeometry(DeviceContext* ctx, LONG x, LONG y, LONG width, LONG height, LONG mode);
LONG ComputeBayerPhase(DeviceContext* ctx);
bool SetExposure(DeviceContext* ctx, ULONG value);
// Clamps to 63, writes register 0x35 and stores globalGain when the write
// succeeded: the one way every caller sets the global gain.
bool SetGlobalGain(DeviceContext* ctx, ULONG value);
bool SetFlipH(DeviceContext* ctx, LONG on);
bool SetFlipV(DeviceContext* ctx, LONG on);
bool SetExTrigger(DeviceContext* ctx, bool on);
bool SetHalfClock(DeviceContext* ctx, LONG value);
void SetWhiteBalance(DeviceContext* ctx, LONG on);
// A capture pin was created (value 1) or closed (0). While any pin exists
// the geometry is frozen.
void SetPinOpen(DeviceContext* ctx, LONG value);

// Fuzz target: whatever the camera's settings key holds when the device
// starts. Input: values, each a name selector, a type and a length (1 byte
// each) and that many data bytes; they are stored, the settings loaded and
// applied, and the record must come out inside its ranges.
#include <stdio.h>
#include <stdlib.h>

#include "camera/sensor.h"
#include "controls/settings_store.h"
#include "fuzz/fuzz_camera.h"
#include "platform/registry_host.h"

namespace {

const char* const kNames[] = {"Timeout",    "Exposure",  "GlobalGain", "FlipH",      "FlipV",   "ColorEnable",
                              "WhiteBalance", "ColorCorrection", "Brightness", "Contrast", "Saturation", "Hue",
                              "RedGain",    "GreenGain", "BlueGain",   "AGC",        "AEC",     "HalfClock",
                              "ExTrigger",  "SubSample", "RoiX",       "RoiY",       "RoiW",    "RoiH"};
constexpr size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);

void Require(bool holds, const char* what) {
  if (holds) return;
  fprintf(stderr, "registry fuzz: %s\n", what);
  abort();
}

// What loading promises whatever was stored: the region inside the sensor, a
// known subsampling mode, a time-out in its range.
void CheckRecord(const DeviceContext* ctx) {
  Require(ctx->subSample >= 0 && ctx->subSample <= 3, "subsampling mode out of range");
  Require(ctx->roiX >= 0 && ctx->roiY >= 0 && ctx->roiWidth > 0 && ctx->roiHeight > 0, "negative region");
  Require(ctx->roiX + ctx->roiWidth <= kSensorWidth && ctx->roiY + ctx->roiHeight <= kSensorHeight,
          "region outside the sensor");
  Require(ctx->frameTimeoutMs > 500 && ctx->frameTimeoutMs <= 9999, "time-out out of range");
  Require(ctx->exposure <= kMaxExposure && ctx->globalGain <= kMaxGlobalGain, "exposure or gain out of range");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kscam::CameraSystem& camera = fuzz::Camera();
  std::string key = host::DriverKeyPath(camera.Bus().PhysicalDeviceObject()) + "\\Settings";
  host::DeleteRegistryKey(key);
  fuzz::InputReader input(data, size);
  while (input.Left() >= 3) {
    const char* name = kNames[input.Take(1) % kNameCount];
    host::RegistryValue value;
    value.type = input.Take(1) % 12;  // REG_NONE .. REG_QWORD
    value.data.resize(input.Take(1) % 17);
    for (uint8_t& byte : value.data) byte = uint8_t(input.Take(1));
    host::WriteRegistryValue(key, name, value);
  }
  {
    fuzz::PoolBalance balance("loading settings");
    Require(LoadSettings(camera.Context()), "the settings key did not open");
  }
  CheckRecord(camera.Context());
  return 0;
}

// The settings store: 24 REG_DWORD values, each with its default and the
// rule that brings a stored value back into range.
#include "controls/settings_store.h"

#include <stddef.h>

#include "camera/sensor.h"
#include "controls/image_settings.h"
#include "usb/command_packets.h"

namespace {

// Value names as 16-bit strings, so that they have the same bytes in the
// kernel and host builds.
#define KSCAM_NAME(identifier, ...) const WCHAR identifier[] = {__VA_ARGS__, 0}
KSCAM_NAME(kSettingsKey, 'S', 'e', 't', 't', 'i', 'n', 'g', 's');
KSCAM_NAME(kTimeout, 'T', 'i', 'm', 'e', 'o', 'u', 't');
KSCAM_NAME(kExposure, 'E', 'x', 'p', 'o', 's', 'u', 'r', 'e');
KSCAM_NAME(kGlobalGain, 'G', 'l', 'o', 'b', 'a', 'l', 'G', 'a', 'i', 'n');
KSCAM_NAME(kFlipH, 'F', 'l', 'i', 'p', 'H');
KSCAM_NAME(kFlipV, 'F', 'l', 'i', 'p', 'V');
KSCAM_NAME(kColorEnable, 'C', 'o', 'l', 'o', 'r', 'E', 'n', 'a', 'b', 'l', 'e');
KSCAM_NAME(kWhiteBalance, 'W', 'h', 'i', 't', 'e', 'B', 'a', 'l', 'a', 'n', 'c', 'e');
KSCAM_NAME(kColorCorrection, 'C', 'o', 'l', 'o', 'r', 'C', 'o', 'r', 'r', 'e', 'c', 't', 'i', 'o', 'n');
KSCAM_NAME(kBrightness, 'B', 'r', 'i', 'g', 'h', 't', 'n', 'e', 's', 's');
KSCAM_NAME(kContrast, 'C', 'o', 'n', 't', 'r', 'a', 's', 't');
KSCAM_NAME(kSaturation, 'S', 'a', 't', 'u', 'r', 'a', 't', 'i', 'o', 'n');
KSCAM_NAME(kHue, 'H', 'u', 'e');
KSCAM_NAME(kRedGain, 'R', 'e', 'd', 'G', 'a', 'i', 'n');
KSCAM_NAME(kGreenGain, 'G', 'r', 'e', 'e', 'n', 'G', 'a', 'i', 'n');
KSCAM_NAME(kBlueGain, 'B', 'l', 'u', 'e', 'G', 'a', 'i', 'n');
KSCAM_NAME(kAgc, 'A', 'G', 'C');
KSCAM_NAME(kAec, 'A', 'E', 'C');
KSCAM_NAME(kHalfClock, 'H', 'a', 'l', 'f', 'C', 'l', 'o', 'c', 'k');
KSCAM_NAME(kExTrigger, 'E', 'x', 'T', 'r', 'i', 'g', 'g', 'e', 'r');
KSCAM_NAME(kSubSample, 'S', 'u', 'b', 'S', 'a', 'm', 'p', 'l', 'e');
KSCAM_NAME(kRoiX, 'R', 'o', 'i', 'X');
KSCAM_NAME(kRoiY, 'R', 'o', 'i', 'Y');
KSCAM_NAME(kRoiW, 'R', 'o', 'i', 'W');
KSCAM_NAME(kRoiH, 'R', 'o', 'i', 'H');
#undef KSCAM_NAME

// The stored values, in the order they are read, with their defaults.
struct StoredSettings {
  LONG timeout = 3000;
  LONG exposure = 0;
  LONG globalGain = 100;
  LONG flipH = 0;
  LONG flipV = 0;
  LONG colourEnable = 1;
  LONG whiteBalance = 0;
  LONG correction = 1;
  LONG brightness = 255;
  LONG contrast = 10;
  LONG saturation = 10;
  LONG hue = 0;
  LONG redGain = 128;
  LONG greenGain = 128;
  LONG blueGain = 128;
  LONG agc = 0;
  LONG aec = 0;
  LONG halfClock = 0;
  LONG exTrigger = 0;
  LONG subSample = 0;
  LONG roiX = 0;
  LONG roiY = 0;
  LONG roiWidth = kSensorWidth;
  LONG roiHeight = kSensorHeight;
};

constexpr LONG kShortestTimeoutMs = 501;
constexpr LONG kLongestTimeoutMs = 9999;
constexpr ULONG kLargestSubsampling = 3;

// A value's first data bytes as the query returns them: the 12-byte header
// of KEY_VALUE_PARTIAL_INFORMATION, then room for 8 data bytes.
constexpr ULONG kQueryHeaderBytes = 12;
constexpr ULONG kQueryBufferBytes = kQueryHeaderBytes + 8;
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == kQueryHeaderBytes, "partial information layout");

void ReadStoredSettings(HANDLE key, StoredSettings* s) {
  const struct {
    PCWSTR name;
    LONG* value;
  } reads[] = {
      {kTimeout, &s->timeout},       {kExposure, &s->exposure},     {kGlobalGain, &s->globalGain},
      {kFlipH, &s->flipH},           {kFlipV, &s->flipV},           {kColorEnable, &s->colourEnable},
      {kWhiteBalance, &s->whiteBalance}, {kColorCorrection, &s->correction}, {kBrightness, &s->brightness},
      {kContrast, &s->contrast},     {kSaturation, &s->saturation}, {kHue, &s->hue},
      {kRedGain, &s->redGain},       {kGreenGain, &s->greenGain},   {kBlueGain, &s->blueGain},
      {kAgc, &s->agc},               {kAec, &s->aec},               {kHalfClock, &s->halfClock},
      {kExTrigger, &s->exTrigger},   {kSubSample, &s->subSample},   {kRoiX, &s->roiX},
      {kRoiY, &s->roiY},             {kRoiW, &s->roiWidth},         {kRoiH, &s->roiHeight},
  };
  for (const auto& read : reads) QuerySettingDword(key, read.name, read.value);
}

// The stored geometry brought inside the sensor before SetGeometry, which
// clamps the rest.
void ApplyGeometry(DeviceContext* ctx, const StoredSettings& s) {
  LONG mode = ULONG(s.subSample) > kLargestSubsampling ? 0 : s.subSample;
  LONG x = ULONG(s.roiX) >= ULONG(kSensorWidth) ? 0 : s.roiX;
  LONG y = ULONG(s.roiY) >= ULONG(kSensorHeight) ? 0 : s.roiY;
  LONG width = ULONG(s.roiWidth) > ULONG(kSensorWidth) ? kSensorWidth : s.roiWidth;
  LONG height = ULONG(s.roiHeight) > ULONG(kSensorHeight) ? kSensorHeight : s.roiHeight;
  SetGeometry(ctx, x, y, width, height, mode);
}

// Applies the values in the order the camera needs them. The stored AGC and
// AEC are dropped: the record keeps its own. Call with the exchange mutex held.
void ApplyStoredSettings(DeviceContext* ctx, const StoredSettings& s) {
  if (s.timeout >= kShortestTimeoutMs && s.timeout <= kLongestTimeoutMs) StoreFrameTimeout(ctx, s.timeout);
  SetExposure(ctx, ULONG(s.exposure));
  SetGlobalGain(ctx, ULONG(s.globalGain));
  PublishImageSetting(ctx, ImageSetting::ColourEnable, s.colourEnable);
  PublishImageSetting(ctx, ImageSetting::WhiteBalance, s.whiteBalance);
  PublishImageSetting(ctx, ImageSetting::Correction, s.correction);
  PublishImageSetting(ctx, ImageSetting::Brightness, s.brightness);
  PublishImageSetting(ctx, ImageSetting::Contrast, s.contrast);
  PublishImageSetting(ctx, ImageSetting::Saturation, s.saturation);
  PublishImageSetting(ctx, ImageSetting::Hue, s.hue);
  PublishImageSetting(ctx, ImageSetting::RedGain, s.redGain);
  PublishImageSetting(ctx, ImageSetting::GreenGain, s.greenGain);
  PublishImageSetting(ctx, ImageSetting::BlueGain, s.blueGain);
  SetFlipH(ctx, s.flipH);
  SetFlipV(ctx, s.flipV);
  SetHalfClock(ctx, s.halfClock);
  SetExTrigger(ctx, s.exTrigger != 0);
  ApplyGeometry(ctx, s);
}

// Call with the exchange mutex held, so that the values are one snapshot.
void WriteAllSettings(DeviceContext* ctx, HANDLE key) {
  const struct {
    PCWSTR name;
    LONG value;
  } writes[] = {
      {kTimeout, ctx->frameTimeoutMs},
      {kExposure, LONG(ctx->exposure)},
      {kGlobalGain, LONG(ctx->globalGain)},
      {kFlipH, ctx->flipH},
      {kFlipV, ctx->flipV},
      {kColorEnable, LONG(ctx->colourEnable)},
      {kWhiteBalance, ctx->whiteBalance},
      {kColorCorrection, LONG(ctx->colourCorrection)},
      {kBrightness, LONG(ctx->brightness)},
      {kContrast, LONG(ctx->contrast)},
      {kSaturation, LONG(ctx->saturation)},
      {kHue, LONG(ctx->hue)},
      {kRedGain, LONG(ctx->redGain)},
      {kGreenGain, LONG(ctx->greenGain)},
      {kBlueGain, LONG(ctx->blueGain)},
      {kAgc, ctx->agc},
      {kAec, ctx->aec},
      {kExTrigger, ctx->exTrigger},
      {kHalfClock, ctx->halfClock},
      {kSubSample, ctx->subSample},
      {kRoiX, ctx->roiX},
      {kRoiY, ctx->roiY},
      {kRoiW, ctx->roiWidth},
      {kRoiH, ctx->roiHeight},
  };
  for (const auto& write : writes) WriteSettingDword(key, write.name, write.value);
}

// Opens the driver key and its "Settings" subkey; on failure nothing stays open.
bool OpenKeys(DeviceContext* ctx, HANDLE* driverKey, HANDLE* settingsKey) {
  *driverKey = nullptr;
  *settingsKey = nullptr;
  NTSTATUS status = IoOpenDeviceRegistryKey(ctx->usb.physicalDeviceObject, PLUGPLAY_REGKEY_DRIVER,
                                            STANDARD_RIGHTS_READ, driverKey);
  if (status != STATUS_SUCCESS || *driverKey == nullptr) return false;
  status = OpenSettingsKey(*driverKey, settingsKey);
  if (!NT_SUCCESS(status) || *settingsKey == nullptr) {
    ZwClose(*driverKey);
    return false;
  }
  return true;
}

void CloseKeys(HANDLE driverKey, HANDLE settingsKey) {
  ZwClose(settingsKey);
  ZwClose(driverKey);
}

}  // namespace

NTSTATUS OpenSettingsKey(HANDLE parent, PHANDLE key) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, kSettingsKey);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, parent, nullptr);
  return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
}

NTSTATUS QuerySettingDword(HANDLE key, PCWSTR name, LONG* value) {
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ULONG buffer[kQueryBufferBytes / sizeof(ULONG)] = {};
  ULONG resultBytes = 0;
  NTSTATUS status =
      ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer, kQueryBufferBytes, &resultBytes);
  if (!NT_SUCCESS(status)) return status;
  auto* information = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  if (information->DataLength < sizeof(LONG)) return STATUS_OBJECT_NAME_NOT_FOUND;
  const UCHAR* data = information->Data;
  *value = LONG(ULONG(data[0]) | ULONG(data[1]) << 8 | ULONG(data[2]) << 16 | ULONG(data[3]) << 24);
  return STATUS_SUCCESS;
}

void WriteSettingDword(HANDLE key, PCWSTR name, LONG value) {
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof(value));
}

// The values are applied under the exchange mutex, so no property request
// sees them half-applied and no register exchange interleaves with them.
bool LoadSettings(DeviceContext* ctx) {
  HANDLE driverKey;
  HANDLE settingsKey;
  if (!OpenKeys(ctx, &driverKey, &settingsKey)) return false;
  StoredSettings stored;
  ReadStoredSettings(settingsKey, &stored);
  CloseKeys(driverKey, settingsKey);
  AcquireExchangeMutex(ctx);
  ApplyStoredSettings(ctx, stored);
  // The clock setting replays the sensor set-up and marks the next frame
  // read as spoiled. Without a pin no capture is running that a frame could
  // be caught half-way for, so the mark goes: the first frame of the first
  // capture is good. (The mark is interlocked; the capture's own spoiled
  // flag is not ours to touch.)
  if (InterlockedCompareExchange(&ctx->pinOpen, 0, 0) == 0) InterlockedExchange(&ctx->reconfigurePending, 0);
  ReleaseExchangeMutex(ctx);
  return true;
}

bool SaveSettings(DeviceContext* ctx) {
  HANDLE driverKey;
  HANDLE settingsKey;
  if (!OpenKeys(ctx, &driverKey, &settingsKey)) return false;
  AcquireExchangeMutex(ctx);
  WriteAllSettings(ctx, settingsKey);
  ReleaseExchangeMutex(ctx);
  CloseKeys(driverKey, settingsKey);
  return true;
}

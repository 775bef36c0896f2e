// The camera's private property set on the capture filter: every camera and
// image control, and the constants that give their ranges and defaults.
#pragma once

#include "driver/kernel.h"

// {9B623622-919B-4639-ADC0-EDF00032B4B2}
constexpr GUID kCameraPropertySet = {0x9B623622, 0x919B, 0x4639, {0xAD, 0xC0, 0xED, 0xF0, 0x00, 0x32, 0xB4, 0xB2}};

// Both the request and the data buffer of every property but the region.
struct CameraPropertyValue {
  KSPROPERTY property;
  LONG value;
  ULONG reserved;
};
// The region of interest with the subsampling mode (set only).
struct CameraRoiValue {
  KSPROPERTY property;
  LONG mode;
  LONG left;
  LONG top;
  LONG width;
  LONG height;
  ULONG reserved;
};
static_assert(sizeof(CameraPropertyValue) == 32, "property record layout");
static_assert(sizeof(CameraRoiValue) == 48, "region record layout");

enum CameraPropertyId : ULONG {
  kPropExternalTrigger = 0,
  kPropFrameTimeout = 1,
  kPropExposure = 2,
  kPropExposureMinimum = 3,
  kPropExposureMaximum = 4,
  kPropExposureDefault = 5,
  kPropGlobalGain = 6,
  kPropGainMinimum = 7,
  kPropGainMaximum = 8,
  kPropGainDefault = 9,
  kPropFlipHorizontal = 10,
  kPropFlipVertical = 11,
  kPropColourEnable = 12,
  kPropWhiteBalance = 13,
  kPropRedGain = 14,
  kPropGreenGain = 15,
  kPropBlueGain = 16,
  kPropColourGainMinimum = 17,
  kPropColourGainMaximum = 18,
  kPropColourGainDefault = 19,
  kPropBrightness = 20,
  kPropBrightnessMinimum = 21,
  kPropBrightnessMaximum = 22,
  kPropBrightnessDefault = 23,
  kPropContrast = 24,
  kPropContrastMinimum = 25,
  kPropContrastMaximum = 26,
  kPropContrastDefault = 27,
  kPropSaturation = 28,
  kPropSaturationMinimum = 29,
  kPropSaturationMaximum = 30,
  kPropSaturationDefault = 31,
  kPropHue = 32,
  kPropHueMinimum = 33,
  kPropHueMaximum = 34,
  kPropHueDefault = 35,
  kPropLargestSubsampling = 36,
  kPropSubsampling = 37,
  kPropSensorWidth = 38,
  kPropSensorHeight = 39,
  kPropRegionLeft = 40,
  kPropRegionTop = 41,
  kPropRegionWidth = 42,
  kPropRegionHeight = 43,
  kPropRegion = 44,
  kPropPinOpen = 45,
  kPropConstant46 = 46,
  kPropExtendedCommand = 47,
  kPropColourCorrection = 48,
  kPropHalfClock = 49,
  kPropConstant50 = 50,
  kPropConstant51 = 51,
  kPropConstant52 = 52,
  kPropConstant53 = 53,
  kPropConstant54 = 54,
  kPropAutoGain = 55,
  kPropAutoExposure = 56,
};
constexpr ULONG kCameraPropertyCount = 57;

// The filter's automation table: the one property set, no methods or events.
extern const KSAUTOMATION_TABLE kCameraAutomationTable;

// The handler of every property (get and set). Reachable for get or set only
// where the automation table lists a handler; called directly, a request
// whose flags are not exactly KSPROPERTY_TYPE_SET is a get. Passive level.
NTSTATUS NTAPI CameraPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);

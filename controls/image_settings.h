// The image settings as both the property set and the settings store change
// them: clamped, kept in the device record, and published into the live
// image pipeline when one exists.
#pragma once

#include "driver/device_context.h"

enum class ImageSetting : UCHAR {
  ColourEnable,
  WhiteBalance,
  RedGain,
  GreenGain,
  BlueGain,
  Correction,
  Brightness,
  Contrast,
  Saturation,
  Hue,
};

// The value range of a setting; settings without one take any value.
struct SettingRange {
  bool clamped;
  LONG minimum;
  LONG maximum;
};
SettingRange RangeOf(ImageSetting setting);
LONG ClampToRange(ImageSetting setting, LONG value);

// Clamps, stores the record's copy and publishes it: gains and the colour
// switch are stored into the pipeline, white balance goes through
// SetWhiteBalance, and a matrix setting rebuilds the colour matrix only when
// the pipeline's value changes. Call with the exchange mutex held.
void PublishImageSetting(DeviceContext* ctx, ImageSetting setting, LONG value);
// The record's copy, first refreshed from the live pipeline (whose gains
// automatic white balance moves). Call with the exchange mutex held.
LONG RefreshImageSetting(DeviceContext* ctx, ImageSetting setting);

// The frame time limit: the record's copy and the driver-wide value the frame
// transfer reads. Callers decide which values they take.
void StoreFrameTimeout(DeviceContext* ctx, LONG milliseconds);

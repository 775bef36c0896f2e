// Image settings between the device record and the live image pipeline.
#include "controls/image_settings.h"

#include "camera/sensor.h"
#include "imaging/image_pipeline.h"
#include "usb/frame_transfer.h"

namespace {

// The record's copy of each setting. Gains and matrix settings are unsigned
// fields that only ever hold clamped, non-negative values.
LONG* RecordField(DeviceContext* ctx, ImageSetting setting) {
  switch (setting) {
    case ImageSetting::ColourEnable: return reinterpret_cast<LONG*>(&ctx->colourEnable);
    case ImageSetting::WhiteBalance: return &ctx->whiteBalance;
    case ImageSetting::RedGain: return reinterpret_cast<LONG*>(&ctx->redGain);
    case ImageSetting::GreenGain: return reinterpret_cast<LONG*>(&ctx->greenGain);
    case ImageSetting::BlueGain: return reinterpret_cast<LONG*>(&ctx->blueGain);
    case ImageSetting::Correction: return reinterpret_cast<LONG*>(&ctx->colourCorrection);
    case ImageSetting::Brightness: return reinterpret_cast<LONG*>(&ctx->brightness);
    case ImageSetting::Contrast: return reinterpret_cast<LONG*>(&ctx->contrast);
    case ImageSetting::Saturation: return reinterpret_cast<LONG*>(&ctx->saturation);
    case ImageSetting::Hue: return reinterpret_cast<LONG*>(&ctx->hue);
  }
  return nullptr;
}

volatile LONG* PipelineField(ImagePipeline* pipeline, ImageSetting setting) {
  switch (setting) {
    case ImageSetting::ColourEnable: return &pipeline->colourEnable;
    case ImageSetting::WhiteBalance: return &pipeline->autoWhiteBalance;
    case ImageSetting::RedGain: return &pipeline->redGain;
    case ImageSetting::GreenGain: return &pipeline->greenGain;
    case ImageSetting::BlueGain: return &pipeline->blueGain;
    case ImageSetting::Correction: return &pipeline->colourCorrection;
    case ImageSetting::Brightness: return &pipeline->brightness;
    case ImageSetting::Contrast: return &pipeline->contrast;
    case ImageSetting::Saturation: return &pipeline->saturation;
    case ImageSetting::Hue: return &pipeline->hue;
  }
  return nullptr;
}

// Stores into the pipeline; the matrix settings rebuild the published matrix
// when the value changed, so a frame sees the old matrix or the new one.
void PublishToPipeline(ImagePipeline* pipeline, ImageSetting setting, LONG value) {
  switch (setting) {
    case ImageSetting::Correction: UpdateCorrection(pipeline, value); break;
    case ImageSetting::Brightness: UpdateBrightness(pipeline, value); break;
    case ImageSetting::Contrast: UpdateContrast(pipeline, value); break;
    case ImageSetting::Saturation: UpdateSaturation(pipeline, value); break;
    case ImageSetting::Hue: UpdateHue(pipeline, value); break;
    default: WriteParameter(PipelineField(pipeline, setting), value); break;
  }
}

}  // namespace

SettingRange RangeOf(ImageSetting setting) {
  switch (setting) {
    case ImageSetting::RedGain:
    case ImageSetting::GreenGain:
    case ImageSetting::BlueGain: return {true, 0, 512};
    case ImageSetting::Brightness: return {true, 0, 510};
    case ImageSetting::Contrast:
    case ImageSetting::Saturation: return {true, 0, 20};
    case ImageSetting::Hue: return {true, 0, 359};
    default: return {false, 0, 0};
  }
}

LONG ClampToRange(ImageSetting setting, LONG value) {
  SettingRange range = RangeOf(setting);
  if (!range.clamped) return value;
  if (value < range.minimum) return range.minimum;
  if (value > range.maximum) return range.maximum;
  return value;
}

void PublishImageSetting(DeviceContext* ctx, ImageSetting setting, LONG value) {
  if (setting == ImageSetting::WhiteBalance) {
    SetWhiteBalance(ctx, value);  // switching it off also keeps the gains it found
    return;
  }
  value = ClampToRange(setting, value);
  *RecordField(ctx, setting) = value;
  ImagePipeline* pipeline = ReferencePipeline(ctx);
  if (pipeline == nullptr) return;
  PublishToPipeline(pipeline, setting, value);
  ReleasePipeline(ctx);
}

LONG RefreshImageSetting(DeviceContext* ctx, ImageSetting setting) {
  LONG* field = RecordField(ctx, setting);
  ImagePipeline* pipeline = ReferencePipeline(ctx);
  if (pipeline != nullptr) {
    *field = ReadParameter(PipelineField(pipeline, setting));
    ReleasePipeline(ctx);
  }
  return *field;
}

void StoreFrameTimeout(DeviceContext* ctx, LONG milliseconds) {
  ctx->frameTimeoutMs = milliseconds;
  InterlockedExchange(&transferTimeoutMs, milliseconds);
}

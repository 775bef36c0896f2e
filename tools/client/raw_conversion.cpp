// "kscam convert": a raw frame file through ImagePipeline and ConvertFrame,
// exactly as the capture pin converts frames, then out as PNG or raw BGRA.
#include "tools/client/raw_conversion.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "imaging/frame_conversion.h"
#include "imaging/image_pipeline.h"
#include "tools/client/png_file.h"

const char kRawConversionUsage[] =
    "usage: kscam convert --raw FILE --width W --height H --line-offset L --row-pitch P "
    "[--phase N] [--brightness V] [--contrast V] [--saturation V] [--hue V] [--correction 0|1] "
    "[--gains R,G,B] [--colour 0|1] [--awb 0|1] --out FILE.png|FILE.bgra";

namespace {

constexpr uint32_t kMaxSide = 16384;

bool ParseInteger(const std::string& text, int64_t low, int64_t high, int64_t* value) {
  if (text.empty() || text.size() > 12) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  *value = strtoll(text.c_str(), nullptr, 10);
  return *value >= low && *value <= high;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

struct IntegerOption {
  const char* name;
  int64_t low, high;
};

// One row per numeric setting: its name, its range and where it goes.
struct SettingOption {
  IntegerOption spec;
  std::optional<int32_t> RawConversionOptions::*field;
};
const SettingOption kSettings[] = {
    {{"--phase", 0, 3}, &RawConversionOptions::phase},
    {{"--brightness", 0, 510}, &RawConversionOptions::brightness},
    {{"--contrast", 0, 20}, &RawConversionOptions::contrast},
    {{"--saturation", 0, 20}, &RawConversionOptions::saturation},
    {{"--hue", 0, 359}, &RawConversionOptions::hue},
    {{"--correction", 0, 1}, &RawConversionOptions::correction},
    {{"--colour", 0, 1}, &RawConversionOptions::colour},
    {{"--awb", 0, 1}, &RawConversionOptions::awb},
};

struct GeometryOption {
  IntegerOption spec;
  uint32_t RawConversionOptions::*field;
};
const GeometryOption kGeometry[] = {
    {{"--width", 1, kMaxSide}, &RawConversionOptions::width},
    {{"--height", 1, kMaxSide}, &RawConversionOptions::height},
    {{"--line-offset", 0, UINT32_MAX}, &RawConversionOptions::lineOffset},
    {{"--row-pitch", 1, UINT32_MAX}, &RawConversionOptions::rowPitch},
};

std::string RangeError(const IntegerOption& o, const std::string& value) {
  return std::string(o.name) + " wants a whole number from " + std::to_string(o.low) + " to " +
         std::to_string(o.high) + ", not '" + value + "'";
}

bool ParseGains(const std::string& text, std::vector<int32_t>* gains) {
  gains->clear();
  size_t start = 0;
  for (int i = 0; i < 3; ++i) {
    size_t comma = text.find(',', start);
    bool last = i == 2;
    if (last != (comma == std::string::npos)) return false;
    int64_t value;
    if (!ParseInteger(text.substr(start, comma - start), 0, 512, &value)) return false;
    gains->push_back(int32_t(value));
    start = comma + 1;
  }
  return true;
}

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return Fail(error, path + ": " + strerror(errno));
  bytes->clear();
  uint8_t chunk[1 << 16];
  size_t got;
  while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0)
    bytes->insert(bytes->end(), chunk, chunk + got);
  bool failed = ferror(file) != 0;
  fclose(file);
  if (failed) return Fail(error, path + ": read error");
  return true;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return Fail(error, path + ": " + strerror(errno));
  bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  ok = fclose(file) == 0 && ok;
  if (!ok) {
    remove(path.c_str());
    return Fail(error, path + ": write error");
  }
  return true;
}

// The settings in the order the capture pin applies the device's settings.
void ApplySettings(ImagePipeline* p, const RawConversionOptions& o) {
  if (o.awb) SetAutoWhiteBalance(p, *o.awb);
  if (o.phase) SetBayerPhase(p, *o.phase);
  if (o.colour) SetColourEnable(p, *o.colour);
  if (o.gains) {
    SetRedGain(p, (*o.gains)[0]);
    SetGreenGain(p, (*o.gains)[1]);
    SetBlueGain(p, (*o.gains)[2]);
  }
  if (o.correction) UpdateCorrection(p, *o.correction);
  if (o.brightness) UpdateBrightness(p, *o.brightness);
  if (o.contrast) UpdateContrast(p, *o.contrast);
  if (o.saturation) UpdateSaturation(p, *o.saturation);
  if (o.hue) UpdateHue(p, *o.hue);
}

bool Convert(const RawConversionOptions& o, const std::vector<uint8_t>& raw,
             RawConversionResult* result, std::string* error) {
  ImagePipeline* p = nullptr;
  if (CreateImagePipeline(&p) != STATUS_SUCCESS) return Fail(error, "out of memory");
  ApplySettings(p, o);
  SetPipelineGeometry(p, int32_t(o.width), int32_t(o.height));
  if (AllocateWorkBuffer(p) != STATUS_SUCCESS) {
    FreeImagePipeline(p);
    return Fail(error, "out of memory for the work buffer");
  }
  result->width = o.width;
  result->height = o.height;
  result->bgra.assign(size_t(o.width) * o.height * 4, 0);
  p->outputImage = result->bgra.data();
  bool converted = raw.size() <= UINT32_MAX &&
                   ConvertFrame(p, raw.data(), uint32_t(raw.size()), o.lineOffset, o.rowPitch);
  result->redGain = uint32_t(ReadParameter(&p->redGain));
  result->greenGain = uint32_t(ReadParameter(&p->greenGain));
  result->blueGain = uint32_t(ReadParameter(&p->blueGain));
  p->outputImage = nullptr;
  FreeImagePipeline(p);
  return converted || Fail(error, "the raw frame does not hold the geometry");
}

}  // namespace

bool ParseRawConversionOptions(const std::vector<std::string>& arguments,
                               RawConversionOptions* options, std::string* error) {
  *options = RawConversionOptions();
  bool seen[std::size(kGeometry)] = {};
  for (size_t i = 0; i < arguments.size(); i += 2) {
    const std::string& name = arguments[i];
    if (i + 1 >= arguments.size()) return Fail(error, name + " needs a value");
    const std::string& value = arguments[i + 1];
    int64_t number;
    bool known = false;
    if (name == "--raw") {
      options->rawPath = value;
      known = true;
    } else if (name == "--out") {
      if (!EndsWith(value, ".png") && !EndsWith(value, ".bgra"))
        return Fail(error, "--out must name a .png or .bgra file, not '" + value + "'");
      options->outPath = value;
      known = true;
    } else if (name == "--gains") {
      std::vector<int32_t> gains;
      if (!ParseGains(value, &gains))
        return Fail(error,
                    "--gains wants three numbers from 0 to 512 as R,G,B, not '" + value + "'");
      options->gains = gains;
      known = true;
    }
    for (size_t g = 0; g < std::size(kGeometry) && !known; ++g) {
      if (name != kGeometry[g].spec.name) continue;
      if (!ParseInteger(value, kGeometry[g].spec.low, kGeometry[g].spec.high, &number))
        return Fail(error, RangeError(kGeometry[g].spec, value));
      options->*kGeometry[g].field = uint32_t(number);
      seen[g] = known = true;
    }
    for (const SettingOption& s : kSettings) {
      if (known || name != s.spec.name) continue;
      if (!ParseInteger(value, s.spec.low, s.spec.high, &number))
        return Fail(error, RangeError(s.spec, value));
      options->*s.field = int32_t(number);
      known = true;
    }
    if (!known) return Fail(error, "unknown option '" + name + "'");
  }
  if (options->rawPath.empty()) return Fail(error, "--raw FILE is required");
  if (options->outPath.empty()) return Fail(error, "--out FILE is required");
  for (size_t g = 0; g < std::size(kGeometry); ++g)
    if (!seen[g]) return Fail(error, std::string(kGeometry[g].spec.name) + " is required");
  if (options->rowPitch < options->width)
    return Fail(error, "--row-pitch must be at least --width");
  return true;
}

bool ConvertRawFile(const RawConversionOptions& options, RawConversionResult* result,
                    std::string* error) {
  std::vector<uint8_t> raw;
  if (!ReadFile(options.rawPath, &raw, error)) return false;
  uint64_t needed = uint64_t(options.lineOffset) + uint64_t(options.height - 1) * options.rowPitch +
                    options.width;
  if (raw.size() < needed)
    return Fail(error, options.rawPath + " holds " + std::to_string(raw.size()) +
                           " bytes; the geometry needs " + std::to_string(needed));
  if (!Convert(options, raw, result, error)) return false;
  if (EndsWith(options.outPath, ".png"))
    return WritePng(options.outPath, result->bgra.data(), result->width, result->height, 0, error);
  return WriteFile(options.outPath, result->bgra, error);
}

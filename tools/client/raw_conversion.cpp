// "kscam convert": a raw frame file through ImagePipeline and ConvertFrame,
// exactly as the capture pin converts frames, then out as PNG or raw BGRA.
// The geometry and settings come from the command line, the frame's sidecar,
// or both (the command line wins).
#include "tools/client/raw_conversion.h"

#include <CLI/CLI.hpp>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "imaging/frame_conversion.h"
#include "imaging/image_pipeline.h"
#include "tools/client/png_file.h"

namespace {

using Json = nlohmann::json;

constexpr uint32_t kMaxSide = 16384;
constexpr char kSidecarKind[] = "kscam raw frame";

// One row per geometry value: its option, its sidecar key, its range.
struct GeometryRow {
  const char* option;
  const char* key;
  int64_t low, high;
  std::optional<uint32_t> RawConversionOptions::*field;
};
const GeometryRow kGeometry[] = {
    {"--width", "width", 1, kMaxSide, &RawConversionOptions::width},
    {"--height", "height", 1, kMaxSide, &RawConversionOptions::height},
    {"--line-offset", "lineOffset", 0, UINT32_MAX, &RawConversionOptions::lineOffset},
    {"--row-pitch", "rowPitch", 1, UINT32_MAX, &RawConversionOptions::rowPitch},
};

// One row per image setting: its option, the camera control it comes from
// in a sidecar, its range.
struct SettingRow {
  const char* option;
  const char* control;
  int64_t low, high;
  std::optional<int32_t> RawConversionOptions::*field;
};
const SettingRow kSettings[] = {
    {"--brightness", "brightness", 0, 510, &RawConversionOptions::brightness},
    {"--contrast", "contrast", 0, 20, &RawConversionOptions::contrast},
    {"--saturation", "saturation", 0, 20, &RawConversionOptions::saturation},
    {"--hue", "hue", 0, 359, &RawConversionOptions::hue},
    {"--correction", "colour_correction", 0, 1, &RawConversionOptions::correction},
    {"--colour", "colour_enable", 0, 1, &RawConversionOptions::colour},
    {"--awb", "white_balance_automatic", 0, 1, &RawConversionOptions::awb},
};
const char* const kGainControls[] = {"red_gain", "green_gain", "blue_gain"};
constexpr int64_t kMaxColourGain = 512;

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return Fail(error, path + ": " + strerror(errno));
  bytes->clear();
  uint8_t chunk[1 << 16];
  size_t got;
  while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
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

// --- Sidecar ---

std::string RangeText(int64_t low, int64_t high) {
  return "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
}

// A whole number in [low, high] under key, or false with the reason.
bool ReadNumber(const Json& object, const std::string& key, int64_t low, int64_t high, int64_t* value,
                std::string* problem) {
  auto found = object.find(key);
  bool whole = found != object.end() && found->is_number_integer();
  if (whole && found->is_number_unsigned() && found->get<uint64_t>() > uint64_t(INT64_MAX)) whole = false;
  if (whole) *value = found->get<int64_t>();
  if (whole && *value >= low && *value <= high) return true;
  return Fail(problem, "'" + key + "' is " + (found == object.end() ? "missing" : "not " + RangeText(low, high)));
}

bool ParseSidecar(const Json& document, RawSidecar* sidecar, std::string* problem) {
  if (!document.is_object() || !document.contains("kind") || document["kind"] != kSidecarKind)
    return Fail(problem, std::string("not a sidecar of a raw frame (no \"kind\": \"") + kSidecarKind + "\")");
  struct Field {
    const char* key;
    int64_t low, high;
    int64_t value;
  } fields[] = {{"width", 1, kMaxSide, 0},          {"height", 1, kMaxSide, 0},
                {"imageWidth", 1, kMaxSide, 0},     {"lineOffset", 0, UINT32_MAX, 0},
                {"rowPitch", 1, UINT32_MAX, 0},     {"frameBytes", 1, UINT32_MAX, 0},
                {"bayerPhase", 0, 3, 0},            {"sequence", 0, INT64_MAX, 0},
                {"timestamp100ns", INT64_MIN, INT64_MAX, 0}};
  for (Field& field : fields)
    if (!ReadNumber(document, field.key, field.low, field.high, &field.value, problem)) return false;
  sidecar->width = uint32_t(fields[0].value);
  sidecar->height = uint32_t(fields[1].value);
  sidecar->imageWidth = uint32_t(fields[2].value);
  sidecar->lineOffset = uint32_t(fields[3].value);
  sidecar->rowPitch = uint32_t(fields[4].value);
  sidecar->frameBytes = uint32_t(fields[5].value);
  sidecar->bayerPhase = int32_t(fields[6].value);
  sidecar->sequence = uint64_t(fields[7].value);
  sidecar->time100ns = fields[8].value;
  if (sidecar->rowPitch < sidecar->width) return Fail(problem, "'rowPitch' is less than 'width'");
  if (sidecar->imageWidth > sidecar->width) return Fail(problem, "'imageWidth' is more than 'width'");
  uint64_t needed = uint64_t(sidecar->lineOffset) + uint64_t(sidecar->height - 1) * sidecar->rowPitch + sidecar->width;
  if (sidecar->frameBytes < needed) return Fail(problem, "'frameBytes' is too small for the geometry");

  auto settings = document.find("settings");
  if (settings == document.end() || !settings->is_object()) return Fail(problem, "'settings' is missing");
  sidecar->settings.clear();
  for (auto it = settings->begin(); it != settings->end(); ++it) {
    int64_t value;
    if (!ReadNumber(*settings, it.key(), INT32_MIN, INT32_MAX, &value, problem)) return false;
    sidecar->settings.emplace_back(it.key(), int32_t(value));
  }
  // The settings the conversion uses must be there and in their ranges.
  int64_t value;
  for (const SettingRow& row : kSettings)
    if (!ReadNumber(*settings, row.control, row.low, row.high, &value, problem)) return false;
  for (const char* gain : kGainControls)
    if (!ReadNumber(*settings, gain, 0, kMaxColourGain, &value, problem)) return false;
  return true;
}

int32_t SettingOf(const RawSidecar& sidecar, const std::string& control) {
  for (const auto& [name, value] : sidecar.settings)
    if (name == control) return value;
  return 0;  // ParseSidecar made sure the conversion's settings are there
}

// Fills what the command line left unset.
void TakeFromSidecar(const RawSidecar& sidecar, RawConversionOptions* options) {
  const uint32_t geometry[] = {sidecar.width, sidecar.height, sidecar.lineOffset, sidecar.rowPitch};
  for (size_t i = 0; i < std::size(kGeometry); ++i)
    if (!(options->*kGeometry[i].field)) options->*kGeometry[i].field = geometry[i];
  if (!options->imageWidth) options->imageWidth = sidecar.imageWidth;
  if (!options->phase) options->phase = sidecar.bayerPhase;
  for (const SettingRow& row : kSettings)
    if (!(options->*row.field)) options->*row.field = SettingOf(sidecar, row.control);
  if (!options->gains) {
    std::vector<int32_t> gains;
    for (const char* gain : kGainControls) gains.push_back(SettingOf(sidecar, gain));
    options->gains = gains;
  }
}

// --- Conversion ---

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

bool Convert(const RawConversionOptions& o, const std::vector<uint8_t>& raw, RawConversionResult* result,
             std::string* error) {
  ImagePipeline* p = nullptr;
  if (CreateImagePipeline(&p) != STATUS_SUCCESS) return Fail(error, "out of memory");
  ApplySettings(p, o);
  SetPipelineGeometry(p, int32_t(*o.width), int32_t(*o.height));
  if (AllocateWorkBuffer(p) != STATUS_SUCCESS) {
    FreeImagePipeline(p);
    return Fail(error, "out of memory for the work buffer");
  }
  result->width = *o.width;
  result->height = *o.height;
  result->bgra.assign(size_t(*o.width) * *o.height * 4, 0);
  p->outputImage = result->bgra.data();
  bool converted =
      raw.size() <= UINT32_MAX && ConvertFrame(p, raw.data(), uint32_t(raw.size()), *o.lineOffset, *o.rowPitch);
  result->redGain = uint32_t(ReadParameter(&p->redGain));
  result->greenGain = uint32_t(ReadParameter(&p->greenGain));
  result->blueGain = uint32_t(ReadParameter(&p->blueGain));
  p->outputImage = nullptr;
  FreeImagePipeline(p);
  return converted || Fail(error, "the raw frame does not hold the geometry");
}

// Keeps the first columns of every row, as the capture pin does.
void TrimColumns(RawConversionResult* result, uint32_t columns) {
  if (columns == 0 || columns >= result->width) return;
  size_t from = size_t(result->width) * 4, to = size_t(columns) * 4;
  for (uint32_t row = 1; row < result->height; ++row)
    memmove(result->bgra.data() + row * to, result->bgra.data() + row * from, to);
  result->bgra.resize(to * result->height);
  result->width = columns;
}

bool ParseGains(const std::string& text, std::vector<int32_t>* gains) {
  gains->clear();
  std::vector<std::string> parts = CLI::detail::split(text, ',');
  if (parts.size() != 3) return false;
  for (const std::string& part : parts) {
    int64_t value;
    if (part.empty() || !CLI::detail::lexical_cast(part, value) || value < 0 || value > kMaxColourGain) return false;
    gains->push_back(int32_t(value));
  }
  return true;
}

}  // namespace

std::string SidecarPathFor(const std::string& rawPath) {
  size_t slash = rawPath.find_last_of('/');
  size_t dot = rawPath.find_last_of('.');
  bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return (extension ? rawPath.substr(0, dot) : rawPath) + ".json";
}

bool WriteSidecar(const std::string& path, const RawSidecar& sidecar, std::string* error) {
  Json document = {{"kind", kSidecarKind},
                   {"width", sidecar.width},
                   {"height", sidecar.height},
                   {"imageWidth", sidecar.imageWidth},
                   {"lineOffset", sidecar.lineOffset},
                   {"rowPitch", sidecar.rowPitch},
                   {"frameBytes", sidecar.frameBytes},
                   {"bayerPhase", sidecar.bayerPhase},
                   {"sequence", sidecar.sequence},
                   {"timestamp100ns", sidecar.time100ns}};
  Json settings = Json::object();
  for (const auto& [name, value] : sidecar.settings) settings[name] = value;
  document["settings"] = settings;
  std::string text = document.dump(2) + "\n";
  return WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()), error);
}

bool ReadSidecar(const std::string& path, RawSidecar* sidecar, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadFile(path, &bytes, error)) return false;
  Json document = Json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (document.is_discarded()) return Fail(error, path + ": damaged sidecar: not valid JSON");
  std::string problem;
  if (!ParseSidecar(document, sidecar, &problem)) return Fail(error, path + ": damaged sidecar: " + problem);
  return true;
}

void AddRawConversionOptions(CLI::App& app, RawConversionOptions* options) {
  // An option given twice takes its last value, so that a script can append
  // an override to a command line it was handed.
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--raw", options->rawPath, "the raw frame file")->required();
  app.add_option("--out", options->outPath, "the image to write: FILE.png or FILE.bgra")
      ->required()
      ->check([](const std::string& path) {
        return EndsWith(path, ".png") || EndsWith(path, ".bgra") ? std::string()
                                                                  : "must name a .png or .bgra file, not '" + path + "'";
      });
  app.add_option("--sidecar", options->sidecarPath, "the raw frame's sidecar (default: the .json file beside it)");
  for (const GeometryRow& row : kGeometry) {
    auto field = row.field;
    app.add_option_function<uint32_t>(row.option, [options, field](const uint32_t& v) { options->*field = v; },
                                      std::string("raw geometry: ") + row.key)
        ->check(CLI::Range(row.low, row.high));
  }
  app.add_option_function<uint32_t>("--image-width", [options](const uint32_t& v) { options->imageWidth = v; },
                                    "columns to keep of each row (default: all)")
      ->check(CLI::Range(int64_t(1), int64_t(kMaxSide)));
  app.add_option_function<int32_t>("--phase", [options](const int32_t& v) { options->phase = v; },
                                   "colour phase of the first sample")
      ->check(CLI::Range(0, 3));
  for (const SettingRow& row : kSettings) {
    auto field = row.field;
    app.add_option_function<int32_t>(row.option, [options, field](const int32_t& v) { options->*field = v; },
                                     std::string("the ") + row.control + " setting")
        ->check(CLI::Range(row.low, row.high));
  }
  app.add_option_function<std::string>(
         "--gains",
         [options](const std::string& text) {
           std::vector<int32_t> gains;
           ParseGains(text, &gains);
           options->gains = gains;
         },
         "colour gains R,G,B (128 is unity)")
      ->check([](const std::string& text) {
        std::vector<int32_t> gains;
        return ParseGains(text, &gains) ? std::string() : "wants three numbers from 0 to 512 as R,G,B, not '" + text + "'";
      });
}

bool CompleteRawConversionOptions(RawConversionOptions* options, std::string* error) {
  std::string sidecarPath = options->sidecarPath;
  if (sidecarPath.empty() && access(SidecarPathFor(options->rawPath).c_str(), F_OK) == 0)
    sidecarPath = SidecarPathFor(options->rawPath);
  if (!sidecarPath.empty()) {
    RawSidecar sidecar;
    if (!ReadSidecar(sidecarPath, &sidecar, error)) return false;
    TakeFromSidecar(sidecar, options);
  }
  for (const GeometryRow& row : kGeometry)
    if (!(options->*row.field))
      return Fail(error, std::string(row.option) + " is required when no sidecar describes the raw file");
  if (*options->rowPitch < *options->width) return Fail(error, "--row-pitch must be at least --width");
  return true;
}

bool ConvertRawFile(const RawConversionOptions& options, RawConversionResult* result, std::string* error) {
  if (!options.width || !options.height || !options.lineOffset || !options.rowPitch)
    return Fail(error, "the raw geometry is incomplete");
  std::vector<uint8_t> raw;
  if (!ReadFile(options.rawPath, &raw, error)) return false;
  uint64_t needed = uint64_t(*options.lineOffset) + uint64_t(*options.height - 1) * *options.rowPitch + *options.width;
  if (raw.size() < needed)
    return Fail(error, options.rawPath + " holds " + std::to_string(raw.size()) + " bytes; the geometry needs " +
                           std::to_string(needed));
  if (!Convert(options, raw, result, error)) return false;
  TrimColumns(result, options.imageWidth.value_or(0));
  if (EndsWith(options.outPath, ".png"))
    return WritePng(options.outPath, result->bgra.data(), result->width, result->height, 0, error);
  return WriteFile(options.outPath, result->bgra, error);
}

// Offline conversion of a raw frame file with the driver's own image
// pipeline: the options of "kscam convert", the sidecar that describes a
// captured raw frame, and the conversion itself.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
}

struct RawConversionOptions {
  std::string rawPath;
  std::string outPath;  // ends in .png or .bgra
  std::string sidecarPath;  // empty: the file beside the raw one, when there is one
  // Geometry; unset values come from the sidecar.
  std::optional<uint32_t> width, height, lineOffset, rowPitch;
  // Columns kept of each converted row: the capture pin trims its picture to
  // a multiple of 8 pixels. Unset keeps the whole width.
  std::optional<uint32_t> imageWidth;
  // Settings left unset keep the pipeline's defaults.
  std::optional<int32_t> phase, brightness, contrast, saturation, hue, correction, colour, awb;
  std::optional<std::vector<int32_t>> gains;  // red, green, blue
};

// What a raw frame's sidecar says: where the samples lie, the colour phase of
// the first one, when it arrived, and every camera setting in force, by the
// controls' names.
struct RawSidecar {
  uint32_t width = 0, height = 0, imageWidth = 0;
  uint32_t lineOffset = 0, rowPitch = 0, frameBytes = 0;
  int32_t bayerPhase = 0;
  uint64_t sequence = 0;
  int64_t time100ns = 0;
  std::vector<std::pair<std::string, int32_t>> settings;
};

// The sidecar of a raw file: the same name with ".json" for its extension.
std::string SidecarPathFor(const std::string& rawPath);
// On failure returns false with one line in *error.
bool WriteSidecar(const std::string& path, const RawSidecar& sidecar, std::string* error);
// A file that is no sidecar, or one with a value missing or out of range, is
// refused with one line naming the file and what is wrong.
bool ReadSidecar(const std::string& path, RawSidecar* sidecar, std::string* error);

// The options of "kscam convert" on a command-line parser, filling *options.
void AddRawConversionOptions(CLI::App& app, RawConversionOptions* options);
// After parsing: takes what the command line left unset from the sidecar
// (the one named, else the one beside the raw file if it exists), and checks
// that the geometry is complete. On failure returns false with one line.
bool CompleteRawConversionOptions(RawConversionOptions* options, std::string* error);

struct RawConversionResult {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> bgra;                          // top row first
  uint32_t redGain = 0, greenGain = 0, blueGain = 0;  // after the conversion
};

// Reads the raw file, converts it and writes the output file. On failure
// returns false with one line in *error; nothing is written then.
bool ConvertRawFile(const RawConversionOptions& options, RawConversionResult* result,
                    std::string* error);

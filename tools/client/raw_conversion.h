// Offline conversion of a raw frame file with the driver's own image
// pipeline: the options of "kscam convert" and the conversion itself.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

struct RawConversionOptions {
  std::string rawPath;
  std::string outPath;  // ends in .png or .bgra
  uint32_t width = 0, height = 0;
  uint32_t lineOffset = 0, rowPitch = 0;
  // Settings left unset keep the pipeline's defaults.
  std::optional<int32_t> phase, brightness, contrast, saturation, hue, correction, colour, awb;
  std::optional<std::vector<int32_t>> gains;  // red, green, blue
};

// Parses the arguments after "convert". On failure returns false with one line
// saying what is wrong in *error.
bool ParseRawConversionOptions(const std::vector<std::string>& arguments,
                               RawConversionOptions* options, std::string* error);

struct RawConversionResult {
  uint32_t width = 0, height = 0;
  std::vector<uint8_t> bgra;                          // top row first
  uint32_t redGain = 0, greenGain = 0, blueGain = 0;  // after the conversion
};

// Reads the raw file, converts it and writes the output file. On failure
// returns false with one line in *error; nothing is written then.
bool ConvertRawFile(const RawConversionOptions& options, RawConversionResult* result,
                    std::string* error);

// The usage line of the command.
extern const char kRawConversionUsage[];

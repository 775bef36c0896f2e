// Pictures for the page: a camera frame shrunk to a width a browser shows
// comfortably, encoded as JPEG; and a full-size frame as PNG.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "tools/client/camera_client.h"

namespace kscam::view {

// Top row first, four bytes (blue, green, red, alpha) per pixel, no padding.
struct DisplayImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgra;
};

// The whole number a width is divided by to fit maxWidth (1: it fits).
int ShrinkFactor(int width, int maxWidth);

// Averages blocks of ShrinkFactor x ShrinkFactor pixels (columns and rows
// left over at the right and bottom edges are left out); false for a frame
// without a whole row.
bool ShrinkForDisplay(const Frame& frame, int maxWidth, DisplayImage* image);

// A full-size frame, top row first, as the bytes of a PNG file.
bool FrameToPng(const Frame& frame, std::string* png, std::string* error);

// One TurboJPEG compressor, for one thread at a time.
class JpegEncoder {
 public:
  JpegEncoder();
  ~JpegEncoder();
  JpegEncoder(const JpegEncoder&) = delete;
  JpegEncoder& operator=(const JpegEncoder&) = delete;

  // quality 1 to 100; false (with *error) when TurboJPEG fails.
  bool Encode(const DisplayImage& image, int quality, std::string* jpeg, std::string* error);

 private:
  void* handle_;  // tjhandle
};

}  // namespace kscam::view

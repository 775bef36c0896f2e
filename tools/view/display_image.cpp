#include "tools/view/display_image.h"

#include <turbojpeg.h>

#include "tools/client/png_file.h"

namespace kscam::view {

namespace {

// Rows of the frame that hold pixels: a short frame holds fewer than its height.
size_t WholeRows(const Frame& frame) {
  if (frame.stride < uint64_t(frame.width) * 4 || frame.width <= 0) return 0;
  size_t rows = frame.pixels.size() / frame.stride;
  return rows < size_t(frame.height) ? rows : size_t(frame.height);
}

// The frame's row that shows picture row y (top row 0).
const uint8_t* PictureRow(const Frame& frame, size_t rows, size_t y) {
  size_t stored = frame.topDown ? y : rows - 1 - y;
  return frame.pixels.data() + stored * frame.stride;
}

}  // namespace

int ShrinkFactor(int width, int maxWidth) {
  if (maxWidth <= 0 || width <= maxWidth) return 1;
  return (width + maxWidth - 1) / maxWidth;
}

bool ShrinkForDisplay(const Frame& frame, int maxWidth, DisplayImage* image) {
  size_t rows = WholeRows(frame);
  if (rows == 0) return false;
  const int factor = ShrinkFactor(frame.width, maxWidth);
  image->width = frame.width / factor;
  image->height = int(rows) / factor;
  if (image->height == 0) return false;
  image->bgra.assign(size_t(image->width) * image->height * 4, 0);
  const unsigned area = unsigned(factor) * unsigned(factor);
  for (int y = 0; y < image->height; ++y) {
    uint8_t* out = &image->bgra[size_t(y) * image->width * 4];
    for (int x = 0; x < image->width; ++x) {
      unsigned sum[4] = {0, 0, 0, 0};
      for (int dy = 0; dy < factor; ++dy) {
        const uint8_t* in = PictureRow(frame, rows, size_t(y) * factor + dy) + size_t(x) * factor * 4;
        for (int dx = 0; dx < factor * 4; ++dx) sum[dx & 3] += in[dx];
      }
      for (int c = 0; c < 4; ++c) out[x * 4 + c] = uint8_t((sum[c] + area / 2) / area);
    }
  }
  return true;
}

bool FrameToPng(const Frame& frame, std::string* png, std::string* error) {
  size_t rows = WholeRows(frame);
  if (rows == 0) {
    *error = "the frame holds no whole row";
    return false;
  }
  if (frame.topDown)
    return EncodePng(frame.pixels.data(), uint32_t(frame.width), uint32_t(rows), frame.stride, png, error);
  std::vector<uint8_t> turned(rows * frame.stride);
  CopyRowsReversed(frame.pixels.data(), frame.stride, rows, turned.data());
  return EncodePng(turned.data(), uint32_t(frame.width), uint32_t(rows), frame.stride, png, error);
}

JpegEncoder::JpegEncoder() : handle_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder() {
  if (handle_ != nullptr) tjDestroy(handle_);
}

bool JpegEncoder::Encode(const DisplayImage& image, int quality, std::string* jpeg, std::string* error) {
  if (handle_ == nullptr) {
    *error = "TurboJPEG did not start";
    return false;
  }
  unsigned char* bytes = nullptr;
  unsigned long size = 0;
  // 4:2:0 chroma and the fast transform: a live picture for the eye, where
  // encoding time matters more than the last bit of fidelity.
  int failed = tjCompress2(handle_, image.bgra.data(), image.width, image.width * 4, image.height, TJPF_BGRX,
                           &bytes, &size, TJSAMP_420, quality, TJFLAG_FASTDCT);
  if (failed == 0) jpeg->assign(reinterpret_cast<const char*>(bytes), size);
  else *error = tjGetErrorStr2(handle_);
  tjFree(bytes);
  return failed == 0;
}

}  // namespace kscam::view

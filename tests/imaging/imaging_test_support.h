// Helpers shared by the image-pipeline tests: raw frames, a pipeline with a
// work buffer and an output image (with a guard zone behind it), and the
// kernel sets this processor can run.
#pragma once

#include <stdint.h>
#include <string.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "imaging/frame_conversion.h"
#include "imaging/image_pipeline.h"
#include "reference_pipeline.h"

namespace imaging_test {

constexpr int32_t kIdentityMatrix[16] = {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64};

// A raw frame in the camera's layout: lead-in bytes, then rows rowPitch
// apart, each followed by non-image bytes (filled with junk that must never
// reach the image).
struct RawFrame {
  int width, height;
  uint32_t lineOffset, rowPitch;
  std::vector<uint8_t> bytes;

  RawFrame(int w, int h, uint32_t offset = 7, uint32_t extra = 5)
      : width(w),
        height(h),
        lineOffset(offset),
        rowPitch(uint32_t(w) + extra),
        bytes(offset + size_t(h) * rowPitch, 0xA5) {}

  uint8_t& at(int x, int y) { return bytes[lineOffset + size_t(y) * rowPitch + size_t(x)]; }

  template <class F>
  void Fill(F valueAt) {
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) at(x, y) = uint8_t(valueAt(x, y));
  }
  void FillRandom(std::mt19937& random) {
    Fill([&](int, int) { return random() & 0xFF; });
  }
  // Red, green and blue samples each constant, in the given layout.
  void FillPerColour(int phase, int red, int green, int blue) {
    Fill([&](int x, int y) {
      char colour = reference::FilterColour(phase, x, y);
      return colour == 'R' ? red : colour == 'G' ? green : blue;
    });
  }

  reference::Frame Reference() const { return {bytes.data(), width, height, lineOffset, rowPitch}; }
};

constexpr size_t kGuardBytes = 256;

// The output image is 64-byte aligned (so that frames a multiple of 16 wide
// take the kernels' streaming-store path, as with a pool allocation) unless
// `misalign` shifts it.
class TestPipeline {
 public:
  TestPipeline(int width, int height, size_t misalign = 0) : width_(width), height_(height) {
    if (CreateImagePipeline(&p) != STATUS_SUCCESS) return;
    SetPipelineGeometry(p, width, height);
    AllocateWorkBuffer(p);
    size_t bytes = size_t(width) * height * 4;
    storage_.assign(bytes + kGuardBytes + 64 + misalign, 0xEE);
    uintptr_t address = reinterpret_cast<uintptr_t>(storage_.data());
    output_ = storage_.data() + (64 - address % 64) % 64 + misalign;
    end_ = output_ + bytes;
    p->outputImage = output_;
  }
  ~TestPipeline() { FreeImagePipeline(p); }
  TestPipeline(const TestPipeline&) = delete;
  TestPipeline& operator=(const TestPipeline&) = delete;

  void SetMatrix(const int32_t m[16]) { memcpy(p->fixedMatrix, m, sizeof(p->fixedMatrix)); }
  void SetGains(uint32_t red, uint32_t green, uint32_t blue) {
    SetRedGain(p, int32_t(red));
    SetGreenGain(p, int32_t(green));
    SetBlueGain(p, int32_t(blue));
  }

  std::vector<uint8_t> Convert(const DemosaicKernels& kernels, const RawFrame& raw) {
    ConvertFrameWith(kernels, p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
    return Image();
  }
  std::vector<uint8_t> Image() const { return std::vector<uint8_t>(output_, end_); }
  // Nothing was written before or after the image.
  bool GuardIntact() const {
    for (const uint8_t* b = storage_.data(); b != storage_.data() + storage_.size(); ++b)
      if ((b < output_ || b >= end_) && *b != 0xEE) return false;
    return true;
  }
  const uint8_t* Pixel(int x, int y) const { return output_ + (size_t(y) * width_ + x) * 4; }

  ImagePipeline* p = nullptr;

 private:
  int width_, height_;
  std::vector<uint8_t> storage_;
  uint8_t* output_ = nullptr;
  uint8_t* end_ = nullptr;
};

struct KernelSet {
  std::string name;
  const DemosaicKernels* kernels;
};

inline void PrintTo(const KernelSet& set, std::ostream* out) { *out << set.name; }

inline std::vector<KernelSet> AvailableKernelSets() {
  std::vector<KernelSet> sets = {{"SSE2", &kDemosaicSse2}};
  if (CpuHasAvx2()) sets.push_back({"AVX2", &kDemosaicAvx2});
  return sets;
}

}  // namespace imaging_test

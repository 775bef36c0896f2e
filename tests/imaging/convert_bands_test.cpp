// The conversion split into row bands: whatever the split, the image, the
// work buffer and the gains are those of the conversion on one thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "imaging_test_support.h"
#include "thread_band_runner.h"

namespace {

using namespace imaging_test;

// Samples scattered around a different level per colour, so that automatic
// white balance measures gains far from unity.
void FillTinted(RawFrame& raw, int phase, std::mt19937& random) {
  raw.Fill([&](int x, int y) {
    char colour = reference::FilterColour(phase, x, y);
    int level = colour == 'R' ? 40 : colour == 'G' ? 150 : 10;
    return level + int(random() % 100);
  });
}

struct Setup {
  int phase;
  bool autoWhiteBalance, colour;
};

void Configure(TestPipeline& t, const Setup& s) {
  SetBayerPhase(t.p, s.phase);
  SetAutoWhiteBalance(t.p, s.autoWhiteBalance);
  SetColourEnable(t.p, s.colour);
  t.SetGains(300, 128, 90);
}

// Two frames in a row (the second converts with the gains the first
// measured), on one thread and in bands, compared after each frame.
void ExpectBandsMatch(const DemosaicKernels& kernels, BandRunner& runner, uint32_t bands, int w,
                      int h, const Setup& s, std::mt19937& random) {
  SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " phase " + std::to_string(s.phase) +
               " awb " + std::to_string(s.autoWhiteBalance) + " colour " +
               std::to_string(s.colour) + " bands " + std::to_string(bands));
  TestPipeline whole(w, h), banded(w, h);
  Configure(whole, s);
  Configure(banded, s);
  RawFrame raw(w, h);
  for (int frame = 0; frame < 2; ++frame) {
    FillTinted(raw, s.phase, random);
    ConvertFrameWith(kernels, whole.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
    ConvertFrameWith(kernels, banded.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch, &runner,
                     bands);
    ASSERT_EQ(banded.Image(), whole.Image());
    ASSERT_TRUE(banded.GuardIntact());
    ASSERT_TRUE(std::equal(whole.p->workBuffer, whole.p->workBuffer + whole.p->workBytes,
                           banded.p->workBuffer));
    EXPECT_EQ(banded.p->redGain, whole.p->redGain);
    EXPECT_EQ(banded.p->greenGain, whole.p->greenGain);
    EXPECT_EQ(banded.p->blueGain, whole.p->blueGain);
  }
}

class Banded : public ::testing::TestWithParam<KernelSet> {};

// Widths on and off the 16- and 32-sample blocks, odd heights, frames too
// small for margins, more bands than rows, and more than the band limit.
TEST_P(Banded, MatchTheConversionOnOneThread) {
  ThreadBandRunner runner(3);
  std::mt19937 random(77);
  const std::pair<int, int> sizes[] = {{64, 48}, {40, 13}, {33, 9},  {17, 10},
                                       {8, 8},   {9, 7},   {5, 3},   {16, 1}};
  for (auto [w, h] : sizes)
    for (int phase : {0, 1, 2, 3})
      for (bool autoWhiteBalance : {false, true})
        for (bool colour : {false, true})
          for (uint32_t bands : {2u, 3u, 7u, 40u})
            ExpectBandsMatch(*GetParam().kernels, runner, bands, w, h,
                             {phase, autoWhiteBalance, colour}, random);
}

TEST_P(Banded, MatchOnAFullSensorFrame) {
  ThreadBandRunner runner(2);
  std::mt19937 random(5);
  for (uint32_t bands : {2u, 4u})
    ExpectBandsMatch(*GetParam().kernels, runner, bands, 2560, 1920, {2, true, true}, random);
}

// Runs the bands one after the other, last first, and notes each request.
class RecordingRunner final : public BandRunner {
 public:
  void Run(void (*work)(void*, uint32_t), void* context, uint32_t bands) override {
    requests.push_back(bands);
    for (uint32_t band = bands; band-- > 0;) work(context, band);
  }
  std::vector<uint32_t> requests;
};

// The runner is asked for at most as many bands as the conversion keeps
// white-balance totals for, and one band needs no runner.
TEST_P(Banded, RunnerIsAskedForAtMostTheBandLimit) {
  RawFrame raw(32, 20);
  std::mt19937 random(9);
  FillTinted(raw, 0, random);
  TestPipeline t(32, 20);
  SetAutoWhiteBalance(t.p, 1);
  RecordingRunner runner;
  ConvertFrameWith(*GetParam().kernels, t.p, raw.bytes.data(), uint32_t(raw.bytes.size()),
                   raw.lineOffset, raw.rowPitch, &runner, 100);
  ASSERT_FALSE(runner.requests.empty());
  for (uint32_t bands : runner.requests) EXPECT_LE(bands, kMaxConversionBands);

  runner.requests.clear();
  ConvertFrameWith(*GetParam().kernels, t.p, raw.bytes.data(), uint32_t(raw.bytes.size()),
                   raw.lineOffset, raw.rowPitch, &runner, 1);
  EXPECT_TRUE(runner.requests.empty());
}

std::string KernelSetName(const ::testing::TestParamInfo<KernelSet>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(ConvertBands, Banded, ::testing::ValuesIn(AvailableKernelSets()),
                         KernelSetName);

}  // namespace

// ConvertFrame as the capture pin uses it: margins, the guards at its start,
// the kernel choice and the white-balance write-back; and its behaviour while
// other threads change the settings.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "imaging_test_support.h"

namespace {

using namespace imaging_test;

std::vector<uint8_t> WorkRow(const ImagePipeline* p, int y, int firstColumn, int count) {
  const uint8_t* row = p->pixelOrigin + ptrdiff_t(y) * p->pitch;
  return std::vector<uint8_t>(row + firstColumn, row + firstColumn + count);
}

TEST(ConvertFrame, MarginsOfANineRowFrame) {
  const int w = 12, h = 9;
  RawFrame raw(w, h);
  raw.Fill([](int x, int y) { return 16 * y + x + 1; });
  TestPipeline t(w, h);
  ConvertFrame(t.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);

  // Above: rows 2 and 1 mirrored; below: rows 5 and 6 repeated.
  const std::pair<int, int> marginRows[] = {{-2, 2}, {-1, 1}, {9, 5}, {10, 6}};
  for (auto [margin, source] : marginRows)
    EXPECT_EQ(WorkRow(t.p, margin, 0, w), WorkRow(t.p, source, 0, w)) << margin;
  for (int y = -2; y <= h + 1; ++y) {
    std::vector<uint8_t> row = WorkRow(t.p, y, -2, w + 4);  // columns -2 .. w + 1
    EXPECT_EQ(row[0], row[4]) << y;                         // column -2 = column 2
    EXPECT_EQ(row[1], row[3]) << y;                         // column -1 = column 1
    EXPECT_EQ(row[w + 2], row[w]) << y;                     // column w = column w - 2
    EXPECT_EQ(row[w + 3], row[w - 1]) << y;                 // column w + 1 = column w - 3
  }
  // The frame's own rows are the raw rows, without their non-image bytes.
  for (int y = 0; y < h; ++y)
    EXPECT_EQ(WorkRow(t.p, y, 0, w), std::vector<uint8_t>(&raw.at(0, y), &raw.at(0, y) + w));
}

TEST(ConvertFrame, OddHeightLeavesTheExtraRowAlone) {
  RawFrame raw(20, 9);
  raw.Fill([](int, int) { return 200; });
  TestPipeline t(20, 9);
  ConvertFrame(t.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
  const uint8_t* lastRow = t.p->workBuffer + size_t(t.p->workBytes) - t.p->workPitch;
  for (uint32_t i = 0; i < t.p->workPitch; ++i) ASSERT_EQ(lastRow[i], 0) << i;
}

TEST(ConvertFrame, WithoutAnOutputImageNothingIsTouched) {
  RawFrame raw(16, 8);
  raw.Fill([](int x, int) { return x * 10; });
  TestPipeline t(16, 8);
  SetAutoWhiteBalance(t.p, 1);
  t.SetGains(300, 128, 100);
  t.p->outputImage = nullptr;
  ConvertFrame(t.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
  EXPECT_EQ(t.p->redGain, 300);
  EXPECT_EQ(t.p->blueGain, 100);
  EXPECT_EQ(t.p->redGainInUse, 0u);
  EXPECT_EQ(t.p->destination, nullptr);
  for (uint32_t i = 0; i < t.p->workBytes; ++i) ASSERT_EQ(t.p->workBuffer[i], 0) << i;
}

TEST(ConvertFrame, WithoutARawFrameOrWorkBufferNothingIsWritten) {
  RawFrame raw(16, 8);
  TestPipeline t(16, 8);
  std::vector<uint8_t> before = t.Image();
  ConvertFrame(t.p, nullptr, uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
  FreeWorkBuffer(t.p);
  ConvertFrame(t.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
  EXPECT_EQ(t.Image(), before);
}

// The layout comes from the camera object and the buffer from the stream;
// a layout that does not fit the buffer is refused before anything is read.
TEST(ConvertFrame, ALayoutThatDoesNotFitTheRawBufferIsRefused) {
  const int w = 16, h = 8;
  RawFrame raw(w, h);  // lead-in 7, pitch 21: the last row ends at byte 7 + 7 * 21 + 16 = 170
  const struct {
    const char* what;
    uint32_t rawBytes, lineOffset, rowPitch;
    bool converts;
  } cases[] = {
      {"the last row ends at the buffer's end", 170, 7, 21, true},
      {"the last row one byte beyond it", 169, 7, 21, false},
      {"rows exactly as wide as the frame", 175, 7, 16, true},
      {"rows narrower than the frame", 175, 7, 15, false},
      {"a lead-in beyond the buffer", 175, UINT32_MAX, 21, false},
      {"a pitch that wraps 32 bits to a small frame", 175, 7, 0x24924925u, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestPipeline t(w, h);
    std::vector<uint8_t> before = t.Image();
    EXPECT_EQ(ConvertFrame(t.p, raw.bytes.data(), c.rawBytes, c.lineOffset, c.rowPitch), c.converts);
    if (!c.converts) EXPECT_EQ(t.Image(), before);
  }
}

TEST(ConvertFrame, AWorkBufferOfAnotherGeometryIsNotUsed) {
  RawFrame raw(64, 16);
  TestPipeline t(16, 8);
  SetPipelineGeometry(t.p, 64, 16);  // no new work buffer allocated
  std::vector<uint8_t> before = t.Image();
  ConvertFrame(t.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
  EXPECT_EQ(t.Image(), before);
}

TEST(ConvertFrame, AutomaticWhiteBalanceStoresTheMeasuredGains) {
  RawFrame raw(32, 10);
  raw.FillPerColour(1, 100, 200, 50);
  TestPipeline t(32, 10);
  SetBayerPhase(t.p, 1);
  SetAutoWhiteBalance(t.p, 1);
  t.SetGains(10, 20, 30);
  ConvertFrame(t.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
  EXPECT_EQ(t.p->redGain, 256);
  EXPECT_EQ(t.p->greenGain, 128);
  EXPECT_EQ(t.p->blueGain, 512);

  // Turning it off keeps the last measurement as the manual gains.
  SetAutoWhiteBalance(t.p, 0);
  raw.FillPerColour(1, 10, 10, 10);
  ConvertFrame(t.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
  EXPECT_EQ(t.p->redGain, 256);
  EXPECT_EQ(t.p->redGainInUse, 256u);
}

TEST(ConvertFrame, ABlackFrameKeepsTheGains) {
  RawFrame raw(16, 8);
  raw.Fill([](int, int) { return 0; });
  TestPipeline t(16, 8);
  SetAutoWhiteBalance(t.p, 1);
  t.SetGains(300, 140, 90);
  ConvertFrame(t.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
  EXPECT_EQ(t.p->redGain, 300);
  EXPECT_EQ(t.p->greenGain, 140);
  EXPECT_EQ(t.p->blueGain, 90);
}

TEST(ConvertFrame, MeasuredGainsAreLimitedTo16Bits) {
  // Red barely present: 128 * green / red is far above 65535.
  RawFrame raw(64, 64);
  raw.FillPerColour(0, 0, 255, 255);
  raw.at(31, 0) = 1;  // one red sample (phase 0: red at odd x, even y)
  TestPipeline t(64, 64);
  SetAutoWhiteBalance(t.p, 1);
  ConvertFrame(t.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
  EXPECT_EQ(t.p->redGain, 65535);
  EXPECT_EQ(t.p->blueGain, 128);
}

TEST(ConvertFrame, ColourOffIgnoresTheMatrix) {
  std::mt19937 random(11);
  RawFrame raw(40, 12);
  raw.FillRandom(random);
  TestPipeline t(40, 12);
  SetColourEnable(t.p, 0);
  t.SetGains(140, 128, 100);
  ConvertFrame(t.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
  std::vector<uint8_t> grey = t.Image();
  UpdateBrightness(t.p, 400);
  UpdateContrast(t.p, 17);
  UpdateSaturation(t.p, 3);
  UpdateHue(t.p, 77);
  UpdateCorrection(t.p, 0);
  ConvertFrame(t.p, raw.bytes.data(), uint32_t(raw.bytes.size()), raw.lineOffset, raw.rowPitch);
  EXPECT_EQ(t.Image(), grey);
}

// Setting threads flip brightness, hue, contrast and the gains between two
// values while frames convert. A uniform frame converts to a uniform image, so
// a frame that mixed two matrices or two gains would show two pixel values;
// and each frame's value must be one that some consistent combination gives.
TEST(ConvertFrameConcurrency, EachFrameUsesOneConsistentSetOfSettings) {
  const int w = 32, h = 8;
  RawFrame raw(w, h);
  raw.Fill([](int, int) { return 120; });

  // Every combination the setting threads can leave behind, converted alone.
  std::set<std::vector<uint8_t>> allowed;
  for (int brightness : {255, 300})
    for (int hue : {0, 120})
      for (int contrast : {10, 14})
        for (uint32_t red : {128u, 200u}) {
          TestPipeline t(w, h);
          UpdateBrightness(t.p, brightness);
          UpdateHue(t.p, hue);
          UpdateContrast(t.p, contrast);
          t.SetGains(red, 128, 128);
          t.Convert(kDemosaicSse2, raw);
          allowed.insert(std::vector<uint8_t>(t.Pixel(0, 0), t.Pixel(0, 0) + 4));
        }

  TestPipeline t(w, h);
  std::atomic<bool> stop{false};
  auto flip = [&](auto change) {
    return std::thread([&, change] {
      for (int i = 0; !stop.load(); ++i) change(i & 1);
    });
  };
  std::thread threads[] = {
      flip([&](int odd) { UpdateBrightness(t.p, odd ? 300 : 255); }),
      flip([&](int odd) { UpdateHue(t.p, odd ? 120 : 0); }),
      flip([&](int odd) {
        UpdateContrast(t.p, odd ? 14 : 10);
        SetRedGain(t.p, odd ? 200 : 128);
      }),
  };
  for (int frame = 0; frame < 300; ++frame) {
    std::vector<uint8_t> image = t.Convert(BestDemosaicKernels(), raw);
    std::vector<uint8_t> first(image.begin(), image.begin() + 4);
    ASSERT_TRUE(allowed.count(first)) << "frame " << frame;
    for (size_t i = 0; i < image.size(); i += 4)
      ASSERT_TRUE(std::equal(first.begin(), first.end(), image.begin() + ptrdiff_t(i)))
          << "frame " << frame << " pixel " << i / 4;
  }
  stop = true;
  for (std::thread& thread : threads) thread.join();
}

}  // namespace

// The live view's parts without a camera: frame rates and losses from time
// stamps, shrinking frames for display, and the checks on control values.
#include <gtest/gtest.h>

#include "tools/view/control_api.h"
#include "tools/view/display_image.h"
#include "tools/view/frame_rate.h"

namespace {

using kscam::view::FrameRateMeter;
using std::chrono::milliseconds;

constexpr int64_t kInterval = 333333;  // 30 frames per second, in 100 ns

TEST(FrameRateMeter, CountsFramesMissingBetweenTimeStamps) {
  FrameRateMeter meter;
  meter.Restart(kInterval);
  auto now = FrameRateMeter::Clock::now();
  // Stamped at 0, 1, 3 (one lost), 3.4 (rounds to one interval), 6.6 (rounds
  // to three: two lost), then a stamp that goes backwards and one without.
  const double at[] = {0, 1, 3, 3.4, 6.6, 2};
  for (double intervals : at) meter.Record(now, true, int64_t(intervals * kInterval));
  meter.Record(now, false, 0);
  EXPECT_EQ(meter.Dropped(), 3u);
  EXPECT_EQ(meter.Frames(), 7u);
  EXPECT_DOUBLE_EQ(meter.NominalFps(), 1e7 / kInterval);
  meter.Restart(kInterval);
  EXPECT_EQ(meter.Dropped(), 0u);
  EXPECT_EQ(meter.Frames(), 0u);
}

TEST(FrameRateMeter, MeasuresTheRateOfTheLastWindowOnly) {
  FrameRateMeter meter;
  meter.Restart(kInterval);
  auto start = FrameRateMeter::Clock::now();
  EXPECT_EQ(meter.MeasuredFps(start), 0) << "no frames";
  // Ten frames 100 ms apart, then twenty 25 ms apart: the window holds the fast ones.
  auto at = start;
  for (int i = 0; i < 10; ++i, at += milliseconds(100)) meter.Record(at, false, 0);
  at += milliseconds(2000);
  for (int i = 0; i < 20; ++i, at += milliseconds(25)) meter.Record(at, false, 0);
  auto last = at - milliseconds(25);
  EXPECT_NEAR(meter.MeasuredFps(last), 40.0, 0.01);
  EXPECT_EQ(meter.MeasuredFps(last + FrameRateMeter::kWindow + milliseconds(1)), 0) << "a camera that went quiet";
}

// A frame of four-byte pixels whose bytes are f(x, y, channel), stored the
// way the flag says.
kscam::Frame MakeFrame(int width, int height, bool topDown, int (*value)(int x, int y, int c)) {
  kscam::Frame frame;
  frame.width = width;
  frame.height = height;
  frame.stride = ULONG(width * 4 + 8);  // padded rows
  frame.topDown = topDown;
  frame.pixels.assign(size_t(frame.stride) * height, 0xEE);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < 4; ++c) {
        int stored = topDown ? y : height - 1 - y;
        frame.pixels[size_t(stored) * frame.stride + x * 4 + c] = uint8_t(value(x, y, c));
      }
  return frame;
}

TEST(DisplayImage, ShrinkFactorFitsTheWidthByWholeSteps) {
  using kscam::view::ShrinkFactor;
  EXPECT_EQ(ShrinkFactor(320, 640), 1);
  EXPECT_EQ(ShrinkFactor(640, 640), 1);
  EXPECT_EQ(ShrinkFactor(641, 640), 2);
  EXPECT_EQ(ShrinkFactor(2560, 640), 4);
  EXPECT_EQ(ShrinkFactor(2560, 1), 2560);
  EXPECT_EQ(ShrinkFactor(2560, 0), 1) << "no limit";
}

TEST(DisplayImage, ShrinkAveragesBlocksAndPutsTheTopRowFirst) {
  for (bool topDown : {false, true}) {
    // 5 x 5 pixels shrunk by 2: the last row and column fall away.
    auto value = [](int x, int y, int c) { return c == 0 ? x * 10 + y : c == 1 ? y * 50 : 255; };
    kscam::Frame frame = MakeFrame(5, 5, topDown, value);
    kscam::view::DisplayImage image;
    ASSERT_TRUE(kscam::view::ShrinkForDisplay(frame, 3, &image));
    ASSERT_EQ(image.width, 2);
    ASSERT_EQ(image.height, 2);
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 2; ++x) {
        const uint8_t* pixel = &image.bgra[(size_t(y) * 2 + x) * 4];
        // The mean of (2x, 2y) .. (2x+1, 2y+1), rounded.
        EXPECT_EQ(pixel[0], (20 * x + 5) + (2 * y) + 1) << "x " << x << " y " << y << " top-down " << topDown;
        EXPECT_EQ(pixel[1], 100 * y + 25) << "rows in picture order, top-down " << topDown;
        EXPECT_EQ(pixel[3], 255);
      }
  }
}

TEST(DisplayImage, ShortFramesShowTheirWholeRowsAndEmptyOnesNothing) {
  kscam::Frame frame = MakeFrame(4, 4, true, [](int, int y, int) { return y * 60; });
  frame.pixels.resize(frame.stride * 3 + 5);  // three whole rows and a part
  kscam::view::DisplayImage image;
  ASSERT_TRUE(kscam::view::ShrinkForDisplay(frame, 0, &image));
  EXPECT_EQ(image.height, 3);
  frame.pixels.resize(frame.stride - 1);
  EXPECT_FALSE(kscam::view::ShrinkForDisplay(frame, 0, &image));
  std::string png, error;
  EXPECT_FALSE(kscam::view::FrameToPng(frame, &png, &error));
  EXPECT_FALSE(error.empty());
  frame.stride = 8;  // narrower than the width
  frame.pixels.assign(64, 0);
  EXPECT_FALSE(kscam::view::ShrinkForDisplay(frame, 0, &image));
}

TEST(ControlValues, TakeWholeNumbersAndSwitchesAndRefuseTheRest) {
  kscam::ControlInfo exposure;
  exposure.name = "exposure";
  exposure.minimum = 1;
  exposure.maximum = 6400;
  kscam::ControlInfo flip;
  flip.name = "horizontal_flip";
  flip.type = kscam::ControlType::Boolean;
  flip.maximum = 1;
  const struct {
    const kscam::ControlInfo& control;
    const char* body;
    int status;
    int32_t value;
  } cases[] = {
      {exposure, "300", 200, 300},
      {exposure, "{\"value\": 7000}", 200, 7000},  // beyond the range: the driver clamps
      {exposure, "-2147483648", 200, INT32_MIN},
      {exposure, "2147483647", 200, INT32_MAX},
      {exposure, "2147483648", 422, 0},
      {exposure, "-2147483649", 422, 0},
      {exposure, "18446744073709551615", 422, 0},
      {exposure, "1.5", 422, 0},
      {exposure, "true", 422, 0},
      {exposure, "\"300\"", 422, 0},
      {exposure, "null", 422, 0},
      {exposure, "{\"val\": 3}", 422, 0},
      {exposure, "", 400, 0},
      {exposure, "{\"value\": ", 400, 0},
      {exposure, "300 400", 400, 0},
      {flip, "true", 200, 1},
      {flip, "false", 200, 0},
      {flip, "1", 200, 1},
      {flip, "2", 422, 0},
      {flip, "-1", 422, 0},
      {flip, "\"on\"", 422, 0},
  };
  for (const auto& c : cases) {
    kscam::view::ParsedValue parsed = kscam::view::ParseControlValue(c.body, c.control);
    EXPECT_EQ(parsed.status, c.status) << c.control.name << " " << c.body;
    if (c.status == 200) EXPECT_EQ(parsed.value, c.value) << c.body;
    else EXPECT_FALSE(parsed.error.empty()) << c.body;
  }
}

TEST(ControlValues, RegionsKeepFieldsLeftOutAndRefuseStrangers) {
  const kscam::Region current{0, 10, 20, 300, 200};
  kscam::Region region;
  ASSERT_EQ(kscam::view::ParseRegion("{\"mode\": 2, \"width\": 64}", current, &region).status, 200);
  EXPECT_EQ(kscam::view::RegionJson(region), kscam::view::RegionJson(kscam::Region{2, 10, 20, 64, 200}));
  EXPECT_EQ(kscam::view::ParseRegion("{\"mode\": 2, \"depth\": 1}", current, &region).status, 422);
  EXPECT_EQ(kscam::view::ParseRegion("{\"left\": 0.5}", current, &region).status, 422);
  EXPECT_EQ(kscam::view::ParseRegion("[0, 0, 0, 32, 32]", current, &region).status, 422);
  EXPECT_EQ(kscam::view::ParseRegion("{", current, &region).status, 400);
}

}  // namespace

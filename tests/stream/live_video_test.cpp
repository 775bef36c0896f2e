// Live video end to end: the simulated camera's colour bars through the
// driver's whole path (frame transfer, conversion, the copy into the client's
// frame) for each geometry and mirroring, and the picture's orientation.
#include <gtest/gtest.h>

#include <string>

#include "camera/sensor.h"
#include "driver/device_context.h"
#include "platform/host_pool.h"
#include "support/capture_session.h"

namespace {

using kscam::CameraSystem;
using test::CaptureSession;
using test::DeliveredFrame;

// Left to right: white, yellow, cyan, green, magenta, red, blue, black, as
// (red, green, blue) on or off.
struct Bar {
  const char* name;
  bool red, green, blue;
};
constexpr Bar kBars[8] = {{"white", 1, 1, 1}, {"yellow", 1, 1, 0}, {"cyan", 0, 1, 1}, {"green", 0, 1, 0},
                          {"magenta", 1, 0, 1}, {"red", 1, 0, 0}, {"blue", 0, 0, 1}, {"black", 0, 0, 0}};
constexpr int kOn = 120;   // a 75% bar channel comes out near 191
constexpr int kOff = 70;   // an empty one near 0

struct Geometry {
  const char* name;
  LONG x, y, width, height, subsample;
  bool flipH, flipV;
  LONG imageWidth, imageHeight;
  LONG sensorColumnOfFirstPixel;  // with the sensor's columns per image column
  LONG columnsPerPixel;
};

const Geometry kGeometries[] = {
    {"full", 0, 0, 2560, 1920, 0, false, false, 2560, 1920, 0, 1},
    {"mirrored left to right", 0, 0, 2560, 1920, 0, true, false, 2560, 1920, 0, 1},
    {"mirrored top to bottom", 0, 0, 2560, 1920, 0, false, true, 2560, 1920, 0, 1},
    {"odd window origin", 161, 1, 1600, 1201, 0, false, false, 1600, 1201, 161, 1},
    {"odd origin, both mirrors", 161, 1, 1600, 1201, 0, true, true, 1600, 1201, 161, 1},
    {"subsampled 1280 x 960", 0, 0, 2560, 1920, 1, false, false, 1280, 960, 0, 2},
    {"subsampled 640 x 480", 0, 0, 2560, 1920, 2, false, false, 640, 480, 0, 4},
    {"subsampled 320 x 240", 0, 0, 2560, 1920, 3, false, false, 320, 240, 0, 8},
};

class LiveVideo : public ::testing::TestWithParam<Geometry> {
 protected:
  void SetUp() override {
    baseline_ = host::PoolLiveAllocations();
    ASSERT_EQ(system_.BringUp(), STATUS_SUCCESS);
    DeviceContext* ctx = system_.Context();
    const Geometry& g = GetParam();
    // The window last: only the capture's start derives the Bayer phase
    // from it.
    ASSERT_TRUE(SetFlipH(ctx, g.flipH));
    ASSERT_TRUE(SetFlipV(ctx, g.flipV));
    SetGeometry(ctx, g.x, g.y, g.width, g.height, g.subsample);
    test::ExposeAtUnity(ctx);
    ctx->colourCorrection = 0;  // the bars' own colours, not the sensor's correction
  }
  void TearDown() override {
    session_.reset();
    system_.StopDevice();
    system_.RemoveDevice();
    EXPECT_EQ(host::PoolLiveAllocations(), baseline_);
  }

  CameraSystem system_{Options()};
  std::unique_ptr<CaptureSession> session_ = std::make_unique<CaptureSession>(system_);
  uint64_t baseline_ = 0;

  static sim::CameraOptions Options() {
    sim::CameraOptions options;
    options.scene = "bars";
    return options;
  }
};

// Pixel (x, y) of the picture, y = 0 the top row: a bottom-up frame holds
// the top row last.
const uint8_t* PixelAt(const DeliveredFrame& frame, LONG width, LONG height, LONG x, LONG y) {
  return frame.data.data() + (size_t(height - 1 - y) * width + x) * 4;
}

TEST_P(LiveVideo, EveryFrameShowsTheBarsInOrder) {
  const Geometry& g = GetParam();
  ASSERT_EQ(session_->OpenFilter(), STATUS_SUCCESS);
  ASSERT_EQ(session_->CreatePin(), STATUS_SUCCESS);
  ASSERT_EQ(session_->VideoInfo().bmiHeader.biWidth, g.imageWidth);
  ASSERT_EQ(session_->VideoInfo().bmiHeader.biHeight, g.imageHeight);
  ASSERT_EQ(session_->RunWithFrames(2), STATUS_SUCCESS);
  for (int i = 0; i < 2; ++i) {
    DeliveredFrame frame;
    ASSERT_TRUE(session_->NextFrame(&frame));
    ASSERT_EQ(frame.header.DataUsed, ULONG(g.imageWidth * g.imageHeight * 4));
    for (LONG y : {LONG(2), g.imageHeight / 2, g.imageHeight - 3}) {
      for (int bar = 0; bar < 8; ++bar) {
        // The bar's centre on the sensor, then in the picture.
        LONG sensorColumn = bar * 320 + 160;
        LONG x = (sensorColumn - g.sensorColumnOfFirstPixel) / g.columnsPerPixel;
        if (x < 0 || x >= g.imageWidth) continue;
        if (g.flipH) x = g.imageWidth - 1 - x;
        const uint8_t* pixel = PixelAt(frame, g.imageWidth, g.imageHeight, x, y);
        const Bar& expected = kBars[bar];
        SCOPED_TRACE(std::string(expected.name) + " bar at x " + std::to_string(x) + ", y " + std::to_string(y));
        EXPECT_EQ(pixel[2] > kOn, expected.red) << int(pixel[2]);
        EXPECT_EQ(pixel[1] > kOn, expected.green) << int(pixel[1]);
        EXPECT_EQ(pixel[0] > kOn, expected.blue) << int(pixel[0]);
        EXPECT_EQ(pixel[2] < kOff, !expected.red) << int(pixel[2]);
        EXPECT_EQ(pixel[1] < kOff, !expected.green) << int(pixel[1]);
        EXPECT_EQ(pixel[0] < kOff, !expected.blue) << int(pixel[0]);
        EXPECT_EQ(pixel[3], 255);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Geometries, LiveVideo, ::testing::ValuesIn(kGeometries),
                         [](const ::testing::TestParamInfo<Geometry>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c; ++c)
                             name += (isalnum(static_cast<unsigned char>(*c)) ? *c : '_');
                           return name;
                         });

// The ramp's value grows down the picture by 7 per sensor row: the top of
// the picture arrives as the last row of the bottom-up frame.
TEST(LiveVideoOrientation, TheTopOfThePictureIsTheLastRowOfTheFrame) {
  sim::CameraOptions options;
  options.scene = "ramp";
  CameraSystem system(options);
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  DeviceContext* ctx = system.Context();
  ctx->colourCorrection = 0;
  test::ExposeAtUnity(ctx);
  SetGeometry(ctx, 0, 0, 64, 32, 0);  // the smallest window; column 10 stays below the wrap at 251
  CaptureSession session(system);
  ASSERT_EQ(session.OpenFilter(), STATUS_SUCCESS);
  ASSERT_EQ(session.CreatePin(), STATUS_SUCCESS);
  ASSERT_EQ(session.RunWithFrames(1), STATUS_SUCCESS);
  DeliveredFrame frame;
  ASSERT_TRUE(session.NextFrame(&frame));
  for (LONG y : {LONG(3), LONG(28)}) {
    const uint8_t* pixel = PixelAt(frame, 64, 32, 10, y);
    EXPECT_NEAR(pixel[1], 10 + 7 * y, 3) << "green of picture row " << y;
  }
}

}  // namespace

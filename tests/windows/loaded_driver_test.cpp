// The shipped binary under test: kscam.sys as the Windows build produced it,
// loaded into the host platform and bound to its exports, takes the
// simulated camera through start-up and streams frames, calling and called
// with the platform's convention and structure layouts.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/host_pool.h"
#include "platform/host_threads.h"
#include "platform/kernel_exports.h"
#include "support/capture_session.h"
#include "tools/client/camera_controls.h"

namespace {

using test::CaptureSession;
using test::DeliveredFrame;

class KscamSysLoaded : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::ifstream(KSCAM_SYS_IMAGE).good()) GTEST_SKIP() << KSCAM_SYS_IMAGE << " not built (scripts/build-windows-driver.sh)";
    baseline_ = host::PoolLiveAllocations();
    checked_ = true;
  }
  void TearDown() override {
    if (checked_) {
      EXPECT_EQ(host::PoolLiveAllocations(), baseline_) << "pool allocations leaked";
    }
  }

  // Maps the binary into the system, loads it into the class driver (which
  // drops what only its entry needed), then adds and starts the camera.
  NTSTATUS BringUp(kscam::CameraSystem& system) {
    std::string error;
    EXPECT_TRUE(system.UseDriverImage(KSCAM_SYS_IMAGE, &error)) << error;
    return system.BringUp();
  }

  uint64_t baseline_ = 0;
  bool checked_ = false;
};

TEST_F(KscamSysLoaded, DownloadsTheFirmwareAndStartsTheCameraItBecomes) {
  sim::CameraOptions options;
  options.firmwareRunning = false;
  {
    kscam::CameraSystem system(options);
    ASSERT_EQ(BringUp(system), STATUS_SUCCESS);
    EXPECT_TRUE(system.Camera()->FirmwareRunning());
    ASSERT_EQ(system.ReEnumerate(), STATUS_SUCCESS);
    ASSERT_EQ(system.KsDevice().FilterFactories().size(), 1u);
    EXPECT_EQ(system.KsDevice().FilterFactories()[0].referenceString, u"GLOBAL");
  }
}

TEST_F(KscamSysLoaded, NegotiatesRunsAndDeliversFullFrames) {
  sim::CameraOptions options;
  options.scene = "bars";
  {
    kscam::CameraSystem system(options);
    ASSERT_EQ(BringUp(system), STATUS_SUCCESS);
    CaptureSession session(system);
    ASSERT_EQ(session.OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(session.CreatePin(), STATUS_SUCCESS);
    EXPECT_EQ(session.VideoInfo().bmiHeader.biWidth, 2560);
    EXPECT_EQ(session.VideoInfo().bmiHeader.biHeight, 1920);
    ASSERT_EQ(system.KsDevice().SetPinClock(session.Pin(), true), STATUS_SUCCESS);
    ASSERT_EQ(session.RunWithFrames(2), STATUS_SUCCESS);
    LONGLONG previous = -1;
    for (int i = 0; i < 3; ++i) {
      DeliveredFrame frame;
      ASSERT_TRUE(session.NextFrame(&frame));
      EXPECT_EQ(frame.header.DataUsed, 2560u * 1920u * 4u);
      EXPECT_EQ(frame.header.OptionsFlags & 0x110u, 0x110u);
      EXPECT_GT(frame.header.PresentationTime.Time, previous);
      previous = frame.header.PresentationTime.Time;
      EXPECT_EQ(frame.data[3], 255);
      EXPECT_EQ(frame.data[frame.data.size() - 1], 255);
    }
    EXPECT_EQ(session.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(session.ClosePin(), STATUS_SUCCESS);
  }
  EXPECT_EQ(host::LiveThreadObjects(), 0u);
}

// The colour bars through the binary's whole path, with the exposure and
// colour correction set through its property set as a client sets them.
TEST_F(KscamSysLoaded, ShowsTheBarsWithSettingsMadeThroughItsPropertySet) {
  sim::CameraOptions options;
  options.scene = "bars";
  {
    kscam::CameraSystem system(options);
    ASSERT_EQ(BringUp(system), STATUS_SUCCESS);
    CaptureSession session(system);
    ASSERT_EQ(session.OpenFilter(), STATUS_SUCCESS);
    kscam::CameraControls controls(system.KsDevice(), session.Filter());
    ASSERT_EQ(controls.Set("exposure", int32_t(sim::kUnityExposure)), STATUS_SUCCESS);
    ASSERT_EQ(controls.Set("gain", int32_t(sim::kUnityGain)), STATUS_SUCCESS);
    ASSERT_EQ(controls.Set("colour_correction", 0), STATUS_SUCCESS);
    int32_t exposure = 0;
    ASSERT_EQ(controls.Get("exposure", &exposure), STATUS_SUCCESS);
    EXPECT_EQ(exposure, int32_t(sim::kUnityExposure));
    ASSERT_EQ(session.CreatePin(), STATUS_SUCCESS);
    ASSERT_EQ(session.RunWithFrames(1), STATUS_SUCCESS);
    DeliveredFrame frame;
    ASSERT_TRUE(session.NextFrame(&frame));
    // The middle row of the picture, white to black: (red, green, blue) on or off.
    const bool bars[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0}, {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
    for (int bar = 0; bar < 8; ++bar) {
      const uint8_t* pixel = frame.data.data() + (size_t(960) * 2560 + bar * 320 + 160) * 4;
      SCOPED_TRACE(bar);
      EXPECT_EQ(pixel[2] > 120, bars[bar][0]) << int(pixel[2]);
      EXPECT_EQ(pixel[1] > 120, bars[bar][1]) << int(pixel[1]);
      EXPECT_EQ(pixel[0] > 120, bars[bar][2]) << int(pixel[0]);
    }
  }
}

}  // namespace

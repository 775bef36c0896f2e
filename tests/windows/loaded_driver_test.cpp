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

namespace {

using test::CaptureSession;
using test::DeliveredFrame;

class KscamSysLoaded : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::ifstream(KSCAM_SYS_IMAGE).good()) GTEST_SKIP() << KSCAM_SYS_IMAGE << " not built (scripts/build-windows-driver.sh)";
    host::PeLoadResult result = host::LoadPeImageFile(KSCAM_SYS_IMAGE, host::KernelExports());
    ASSERT_TRUE(result.image) << result.error;
    image_ = std::move(result.image);
    baseline_ = host::PoolLiveAllocations();
  }
  void TearDown() override {
    if (image_) EXPECT_EQ(host::PoolLiveAllocations(), baseline_) << "pool allocations leaked";
  }

  DRIVER_INITIALIZE* Entry() const { return reinterpret_cast<DRIVER_INITIALIZE*>(image_->EntryPoint()); }

  // Loads the driver into the class driver, lets the image drop what only
  // its entry needed, then adds and starts the camera.
  NTSTATUS BringUp(kscam::CameraSystem& system) {
    system.UseDriverEntry(Entry());
    NTSTATUS status = system.LoadDriver();
    if (!NT_SUCCESS(status)) return status;
    EXPECT_TRUE(image_->DiscardSections());
    status = system.AddDevice();
    return NT_SUCCESS(status) ? system.StartDevice() : status;
  }

  std::unique_ptr<host::PeImage> image_;
  uint64_t baseline_ = 0;
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

}  // namespace

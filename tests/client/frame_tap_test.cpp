// The frame tap between the bus and the simulated camera: whole frames, byte
// for byte as the camera sent them while the driver streams, never a frame
// the camera abandoned, and a bounded queue that counts what it drops.
#include <gtest/gtest.h>

#include <thread>

#include "camera/sensor.h"
#include "support/capture_session.h"
#include "support/exchange_helpers.h"
#include "tools/client/frame_tap.h"
#include "sim/usb_identity.h"
#include "usb/command_packets.h"

namespace {

using namespace std::chrono_literals;

class FrameTapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto tap = std::make_unique<kscam::FrameTap>(std::make_unique<sim::SimulatedCamera>());
    tap_ = tap.get();
    system_ = std::make_unique<kscam::CameraSystem>(std::move(tap));
    ASSERT_EQ(system_->BringUp(), STATUS_SUCCESS);
    SetGeometry(system_->Context(), 0, 1, 64, 33, 0);  // odd sizes: the layout is not a round number
    session_ = std::make_unique<test::CaptureSession>(*system_);
    ASSERT_EQ(session_->OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(session_->CreatePin(), STATUS_SUCCESS);
  }
  void TearDown() override { session_.reset(); }

  kscam::FrameTap* tap_ = nullptr;
  std::unique_ptr<kscam::CameraSystem> system_;
  std::unique_ptr<test::CaptureSession> session_;
};

TEST_F(FrameTapTest, KeepsWholeFramesAsTheCameraSentThem) {
  tap_->Arm(64);
  ASSERT_EQ(session_->RunWithFrames(2), STATUS_SUCCESS);
  std::vector<uint8_t> expected = tap_->Camera().RenderFrame();  // the chart stands still
  FrameLayout layout;
  GetFrameLayout(system_->Context(), &layout);
  ASSERT_EQ(expected.size(), layout.frameBytes);
  // The stream runs on while the test reads, and a loaded machine may let
  // the queue overflow: the numbers only rise, and a gap is a drop counted.
  uint64_t last = 0;
  for (uint64_t i = 0; i < 3; ++i) {
    kscam::RawFrame frame;
    ASSERT_TRUE(tap_->NextFrame(&frame, 10s));
    if (i == 0) EXPECT_LE(frame.sequence, tap_->FramesDropped());
    else EXPECT_GT(frame.sequence, last);
    last = frame.sequence;
    EXPECT_EQ(frame.bytes, expected) << i;
  }
  EXPECT_EQ(session_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  tap_->Disarm();
  EXPECT_GE(tap_->FramesSeen(), 3u);
}

TEST_F(FrameTapTest, AFullQueueDropsTheOldestAndCountsIt) {
  tap_->Arm(1);
  ASSERT_EQ(session_->RunWithFrames(2), STATUS_SUCCESS);
  while (tap_->FramesSeen() < 4) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(session_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  uint64_t seen = tap_->FramesSeen();
  EXPECT_EQ(tap_->FramesDropped(), seen - 1);
  kscam::RawFrame frame;
  ASSERT_TRUE(tap_->NextFrame(&frame, 0ms));
  EXPECT_EQ(frame.sequence, seen - 1) << "the newest frame is the one kept";
  EXPECT_FALSE(tap_->NextFrame(&frame, 0ms));
}

// Frames the camera cuts short are abandoned by the driver (a halt, then a
// new go): none of their bytes make a frame, and none leak into the next.
TEST_F(FrameTapTest, AFrameTheCameraCutShortIsNeverKept) {
  tap_->Arm(64);
  sim::CameraFaults faults;
  faults.stopAfterBytes = 1000;
  tap_->Camera().SetFaults(faults);
  kscam_test::FrameTimeLimit limit(100);
  ASSERT_EQ(session_->RunWithFrames(2), STATUS_SUCCESS);
  while (tap_->Camera().FramesStarted() < 3) std::this_thread::sleep_for(1ms);
  kscam::RawFrame frame;
  EXPECT_FALSE(tap_->NextFrame(&frame, 0ms));
  tap_->Camera().SetFaults(sim::CameraFaults());
  ASSERT_TRUE(tap_->NextFrame(&frame, 10s));
  // Frames cut short are never counted: every frame numbered before the
  // first one kept is one the full queue dropped.
  EXPECT_LE(frame.sequence, tap_->FramesDropped());
  EXPECT_EQ(frame.bytes, tap_->Camera().RenderFrame());
  EXPECT_EQ(session_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// A bus that answers the camera's "data available" at once, from inside the
// go that started the frame, as a bus thread woken at that moment may.
class EagerBus final : public host::UsbBusSink {
 public:
  void InDataAvailable() override {
    if (tap == nullptr) return;
    std::vector<uint8_t> chunk(1 << 16);
    for (;;) {
      host::UsbInResult read = tap->BulkIn(sim::kFrameEndpoint, chunk.data(), uint32_t(chunk.size()));
      if (read.bytes == 0) break;
      bytes += read.bytes;
    }
  }
  kscam::FrameTap* tap = nullptr;
  uint64_t bytes = 0;
};

TEST(FrameTap, CountsAFrameWhoseBytesComeFromInsideTheGo) {
  kscam::FrameTap tap(std::make_unique<sim::SimulatedCamera>());
  EagerBus bus;
  tap.Attach(&bus);
  ASSERT_EQ(tap.SelectConfiguration(1), USBD_STATUS_SUCCESS);
  tap.Arm(1);
  bus.tap = &tap;
  uint8_t go[64] = {kCommandFrameGo};
  ASSERT_EQ(tap.BulkOut(sim::kCommandEndpoint, go, sizeof go).status, USBD_STATUS_SUCCESS);
  bus.tap = nullptr;
  ASSERT_EQ(bus.bytes, tap.Camera().FrameSize());
  EXPECT_EQ(tap.FramesSeen(), 1u);
  kscam::RawFrame frame;
  EXPECT_TRUE(tap.NextFrame(&frame, 0ms));
  tap.Detach();
}

TEST_F(FrameTapTest, CountsWithoutKeepingAtDepthZero) {
  tap_->Arm(0);
  ASSERT_EQ(session_->RunWithFrames(2), STATUS_SUCCESS);
  while (tap_->FramesSeen() < 2) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(session_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  kscam::RawFrame frame;
  EXPECT_FALSE(tap_->NextFrame(&frame, 0ms));
  EXPECT_EQ(tap_->FramesDropped(), 0u);
}

}  // namespace

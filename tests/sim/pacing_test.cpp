// Frame data paced at a bulk transfer rate, and the pacing thread's shutdown.
// Timings are only bounded from below (data never comes early) or with wide
// margins, so a loaded machine cannot make these fail.
#include <gtest/gtest.h>

#include <thread>

#include "sim_rig.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Waits, within a generous bound, for the sink to have heard at least `calls` times.
bool SinkHears(const probe::RecordingSink& sink, uint64_t calls) {
  Clock::time_point deadline = Clock::now() + 5s;
  while (sink.calls < calls && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  return sink.calls >= calls;
}

sim::CameraOptions Paced(double bytesPerSecond) {
  sim::CameraOptions options;
  options.paced = true;
  options.bytesPerSecond = bytesPerSecond;
  return options;
}

TEST(SimPacing, FrameArrivesNoFasterThanTheRateAndTheBusIsToldAsItComes) {
  constexpr uint32_t kBytes = 2 * 1024 * 1024;
  constexpr double kRate = 20e6;
  SimRig rig(Paced(kRate));
  ASSERT_TRUE(rig.probe.SetFrameSize(kBytes));
  Clock::time_point start = Clock::now();
  std::vector<uint8_t> frame = rig.probe.Frame(kBytes);
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_EQ(frame.size(), kBytes);
  EXPECT_GE(seconds, 0.95 * kBytes / kRate);
  EXPECT_LT(seconds, 20 * kBytes / kRate + 2.0);
  EXPECT_TRUE(SinkHears(rig.sink, 5)) << "the bus hears about data several times a frame";
  EXPECT_EQ(rig.camera.FramesSent(), 1u);
}

TEST(SimPacing, UnpacedFrameIsAvailableAtOnce) {
  SimRig rig;
  uint32_t size = rig.camera.FrameSize();
  uint64_t before = rig.sink.calls;
  ASSERT_EQ(rig.probe.Command({0x03}), USBD_STATUS_SUCCESS);
  EXPECT_GT(rig.sink.calls, before) << "go tells the bus";
  std::vector<uint8_t> buffer(size);
  EXPECT_EQ(rig.camera.BulkIn(sim::kFrameEndpoint, buffer.data(), size).bytes, size);
}

TEST(SimPacing, RepliesTellTheBus) {
  SimRig rig;
  uint64_t before = rig.sink.calls;
  ASSERT_EQ(rig.probe.Command({0x0C, 0x00}), USBD_STATUS_SUCCESS);
  EXPECT_GT(rig.sink.calls, before);
}

TEST(SimPacing, DetachStopsNotificationsDuringAFrame) {
  SimRig rig(Paced(1e6));  // a full frame would take six seconds
  ASSERT_EQ(rig.probe.Command({0x03}), USBD_STATUS_SUCCESS);
  std::this_thread::sleep_for(20ms);
  rig.camera.Detach();
  rig.sink.detached = true;
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(rig.sink.callsAfterDetach, 0u);
}

TEST(SimPacing, DestroyingAPacedCameraMidFrameIsPrompt) {
  probe::RecordingSink sink;
  Clock::time_point start;
  {
    sim::SimulatedCamera camera(Paced(1e6));
    camera.Attach(&sink);
    probe::DeviceProbe probe(camera);
    ASSERT_EQ(probe.Command({0x03}), USBD_STATUS_SUCCESS);
    std::this_thread::sleep_for(10ms);
    start = Clock::now();
  }
  EXPECT_LT(Clock::now() - start, 2s);
}

TEST(SimPacing, ReattachingResumesPacing) {
  SimRig rig(Paced(1e6));  // slow enough that the frame outlasts the check
  rig.camera.Detach();
  rig.camera.Attach(&rig.sink);
  uint64_t before = rig.sink.calls;
  ASSERT_EQ(rig.probe.Command({0x03}), USBD_STATUS_SUCCESS);
  EXPECT_TRUE(SinkHears(rig.sink, before + 5)) << "the go, then pacing ticks";
}

}  // namespace

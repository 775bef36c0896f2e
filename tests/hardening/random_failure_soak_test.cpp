// Random allocation failures while the camera streams: 6 % of the driver's
// pool, request and descriptor allocations fail, from a seed printed with
// any failure (KSCAM_SOAK_SEED repeats its draws; which allocation each draw
// meets depends on how the threads interleave). Frames must keep coming in
// every cycle whose capture thread could be created, state
// changes fail only with the documented status and succeed when retried, and
// nothing of the driver's is left when the device goes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>

#include "platform/host_pool.h"
#include "platform/host_threads.h"
#include "support/allocation_faults.h"
#include "support/capture_session.h"
#include "tools/client/camera_controls.h"

namespace {

using namespace std::chrono_literals;
using test::CaptureSession;
using test::DeliveredFrame;

constexpr uint32_t kFailurePercent = 6;
constexpr int kCycles = test::kInstrumentedBuild ? 2 : 5;
constexpr auto kStreamingPerCycle = 1500ms;

uint64_t Seed() {
  if (const char* text = getenv("KSCAM_SOAK_SEED")) return strtoull(text, nullptr, 10);
  return uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
}

// A state change that may lose an allocation is repeated, as a client
// would; out of memory is the only failure allowed.
NTSTATUS ChangeStateRetrying(CaptureSession& session, KSSTATE state) {
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  for (int attempt = 0; attempt < 100 && status == STATUS_INSUFFICIENT_RESOURCES; ++attempt)
    status = session.SetState(state);
  return status;
}

struct CycleFigures {
  int frames = 0;
  int propertySets = 0;
};

// Streams for a while, changing a control every few frames.
CycleFigures StreamWhileChangingControls(CaptureSession& session, kscam::CameraControls& controls, int cycle) {
  CycleFigures figures;
  auto end = std::chrono::steady_clock::now() + kStreamingPerCycle;
  while (std::chrono::steady_clock::now() < end) {
    DeliveredFrame frame;
    if (!session.NextFrame(&frame, 500ms)) continue;
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    ++figures.frames;
    const char* name = figures.frames % 2 ? "brightness" : "red_gain";
    EXPECT_EQ(controls.Set(name, 100 + (figures.frames + cycle) % 50), STATUS_SUCCESS) << name;
    ++figures.propertySets;
  }
  return figures;
}

TEST(RandomAllocationFailures, FramesKeepFlowingAndNothingLeaks) {
  uint64_t seed = Seed();
  std::string context = "random allocation failures (" + std::to_string(kFailurePercent) + " %), KSCAM_SOAK_SEED=" +
                        std::to_string(seed);
  SCOPED_TRACE(context);
  host::SetFaultContext(context);
  CycleFigures total;
  int frameless = 0;  // cycles whose capture thread could not be created
  uint64_t injected = 0;
  {
    kscam::CameraSystem system;
    ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
    {
      CaptureSession session(system);
      ASSERT_EQ(session.OpenFilter(), STATUS_SUCCESS);
      kscam::CameraControls controls(system.KsDevice(), session.Filter());
      ASSERT_EQ(controls.SetRegion(kscam::Region{3, 0, 0, 0, 0}), STATUS_SUCCESS);
      ASSERT_EQ(controls.Set("frame_timeout_ms", 501), STATUS_SUCCESS);
      ASSERT_EQ(session.CreatePin(), STATUS_SUCCESS);
      host::FailAllocationsAtRandom(kFailurePercent, seed);
      for (int cycle = 0; cycle < kCycles; ++cycle) {
        uint64_t threadFailures = host::InjectedPoolFailures(test::kThreadObjectTag);
        ASSERT_EQ(ChangeStateRetrying(session, KSSTATE_PAUSE), STATUS_SUCCESS) << "cycle " << cycle;
        session.QueueFrames(2);
        ASSERT_EQ(ChangeStateRetrying(session, KSSTATE_RUN), STATUS_SUCCESS) << "cycle " << cycle;
        bool threadLost = host::InjectedPoolFailures(test::kThreadObjectTag) != threadFailures;
        CycleFigures figures = StreamWhileChangingControls(session, controls, cycle);
        if (!threadLost) EXPECT_GT(figures.frames, 0) << "no frame in cycle " << cycle;
        frameless += figures.frames == 0;
        total.frames += figures.frames;
        total.propertySets += figures.propertySets;
        EXPECT_EQ(session.SetState(KSSTATE_STOP), STATUS_SUCCESS);
      }
      EXPECT_EQ(session.ClosePin(), STATUS_SUCCESS);
    }
    system.StopDevice();
    injected = host::InjectedAllocationFailures();
    system.RemoveDevice();  // aborts, naming the tags, if the driver left anything
    host::ClearPoolFaults();
  }
  EXPECT_EQ(host::DriverAllocationsOutstanding(), "");
  EXPECT_EQ(host::LiveThreads(host::ThreadRole::System), 0u);
  EXPECT_GT(injected, 0u);
  host::SetFaultContext("");
  printf("seed %llu: %d cycles (%d without frames), %d frames, %d property sets, %llu allocations failed\n",
         static_cast<unsigned long long>(seed), kCycles, frameless, total.frames, total.propertySets,
         static_cast<unsigned long long>(injected));
}

}  // namespace

// Systematic allocation failures: the camera's whole life, from add to
// removal, with the k-th allocation of one step failing, for k = 1, 2, …
// until the step runs without reaching a k-th allocation. Pool blocks, I/O
// requests and memory descriptors are walked separately. Each case must end
// with a defined status, nothing of the driver's left at removal (the
// platform aborts otherwise) and a fresh device that streams.
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

using host::AllocationKind;
using test::Phase;

struct WalkCase {
  AllocationKind kind;
  Phase phase;
};

std::string KindName(AllocationKind kind) {
  switch (kind) {
    case AllocationKind::Pool: return "Pool";
    case AllocationKind::Irp: return "Irp";
    case AllocationKind::Mdl: return "Mdl";
  }
  return "?";
}

// Under the sanitizers each step walks its first points and then every
// fourth one, up to a cap.
constexpr uint64_t kDefaultPointCap = test::kInstrumentedBuild ? 24 : 0;

constexpr uint64_t kFreshCameraEvery = 8;

// KSCAM_WALK_POINTS overrides the cap (0: every point).
uint64_t PointCap() {
  const char* text = getenv("KSCAM_WALK_POINTS");
  return text != nullptr ? strtoull(text, nullptr, 10) : kDefaultPointCap;
}

class AllocationWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(AllocationWalk, EveryFailurePointEndsWithADefinedStatusNoLeakAndAWorkingDevice) {
  const WalkCase& walk = GetParam();
  uint64_t cap = PointCap();
  uint64_t tried = 0;
  uint64_t stride = 1;
  auto started = std::chrono::steady_clock::now();
  for (uint64_t k = 1;; k += stride) {
    std::string what = KindName(walk.kind) + " allocation " + std::to_string(k) + " of step " +
                       test::PhaseName(walk.phase) + " fails";
    SCOPED_TRACE(what);
    host::SetFaultContext(what);
    test::LifeOutcome outcome = test::RunCameraLife(test::Injection{walk.phase, walk.kind, k});
    if (HasFatalFailure()) break;
    if (!outcome.injected) {
      // The step made fewer than k attempts: this run lost nothing, and
      // the walk is complete.
      EXPECT_TRUE(outcome.streamed) << "no frame from a run in which no allocation failed";
      break;
    }
    ++tried;
    // The device that lost an allocation is gone; a new one must work.
    // Every run of the walk starts a new device, so a fresh camera with no
    // failure at all is tried on every eighth point only.
    if (tried % kFreshCameraEvery == 1)
      EXPECT_TRUE(test::FreshCameraStreams()) << "no frame from a fresh camera after " << what;
    if (cap != 0 && tried >= cap / 2) stride = 4;
    if (cap != 0 && tried >= cap) break;
  }
  host::SetFaultContext("");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  RecordProperty("failure_points", std::to_string(tried));
  printf("%s walk of step %s: %llu failure points in %.1f s\n", KindName(walk.kind).c_str(),
         test::PhaseName(walk.phase).c_str(), static_cast<unsigned long long>(tried), seconds);
}

std::vector<WalkCase> AllCases() {
  std::vector<WalkCase> cases;
  for (AllocationKind kind : {AllocationKind::Pool, AllocationKind::Irp, AllocationKind::Mdl})
    for (int phase = 0; phase < int(Phase::Count); ++phase) cases.push_back(WalkCase{kind, Phase(phase)});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Steps, AllocationWalk, ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<WalkCase>& info) {
                           return KindName(info.param.kind) + "_" + test::PhaseName(info.param.phase);
                         });

}  // namespace

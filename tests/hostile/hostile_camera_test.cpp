// The driver against hostile cameras: seeded mutations of the simulated
// camera's descriptors, replies, command endpoint, frames and firmware loads.
// Every case must end each request with a defined status, within its time
// bound, with nothing leaked; and once the camera stops misbehaving, a driver
// that started must work again.
//
// KSCAM_HOSTILE_CASES sets the number of cases (10,000 in the AddressSanitizer
// build, 2,000 in the plain one, 1,000 in the ThreadSanitizer build, whose
// instrumentation makes each case several times slower). KSCAM_HOSTILE_SEED=n runs the one case a failure names.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "camera/sensor.h"
#include "controls/property_set.h"
#include "platform/host_pool.h"
#include "platform/registry_host.h"
#include "sim/hostile_camera.h"
#include "support/capture_session.h"
#include "tools/client/camera_controls.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

#if defined(__SANITIZE_THREAD__)
constexpr uint64_t kDefaultCases = 1000;
constexpr int kSlowdown = 4;
#elif defined(__SANITIZE_ADDRESS__)
constexpr uint64_t kDefaultCases = 10000;
constexpr int kSlowdown = 1;
#else
// The full set runs under AddressSanitizer, where an access out of bounds
// shows; the plain build, run beside it, takes a fifth of the cases.
constexpr uint64_t kDefaultCases = 2000;
constexpr int kSlowdown = 1;
#endif
constexpr uint64_t kShards = 4;
constexpr int kFailuresShown = 5;

// The bound on a whole case. Nothing in a case may wait longer than a
// transfer time-out (500 ms for an exchange, the frame time limit for a
// frame); a case without a fault that costs a time-out has no business
// waiting at all, and one that has one meets a handful at most.
std::chrono::milliseconds CaseBound(const sim::HostilePlan& plan) {
  return (plan.Slow() ? 15000ms : 5000ms) * kSlowdown;
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* text = getenv(name);
  return text != nullptr && *text != 0 ? strtoull(text, nullptr, 0) : fallback;
}

// A status a request may end with: success, or an error; never pending, a
// warning or an information code that a caller would take for something else.
bool Defined(NTSTATUS status) { return status == STATUS_SUCCESS || (ULONG(status) >> 30) == 3; }

std::string Hex(NTSTATUS status) {
  char text[16];
  snprintf(text, sizeof(text), "0x%08X", unsigned(status));
  return text;
}

class HostileCase {
 public:
  explicit HostileCase(uint64_t seed) : plan_(sim::DrawHostilePlan(seed)) {}

  // How the case ended, for the shard's tally: the start's status when the
  // camera never became usable, else how far the requests got.
  const std::string& Outcome() const { return outcome_; }

  // The failure, or empty when the case held.
  std::string Run() {
    host::UseRegistryFile("");  // every case starts from the settings of a new camera
    uint64_t baseline = host::PoolLiveAllocations();
    Clock::time_point start = Clock::now();
    {
      auto device = std::make_unique<sim::HostileCamera>(plan_);
      camera_ = device.get();
      kscam::CameraSystem system(std::move(device));
      Exercise(system);
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    if (elapsed > CaseBound(plan_)) Fail("took " + std::to_string(elapsed.count()) + " ms");
    uint64_t left = host::PoolLiveAllocations();
    if (left != baseline) Fail(std::to_string(int64_t(left - baseline)) + " pool allocations left after removal");
    return failure_.empty() ? failure_ : failure_ + "\n  " + plan_.Describe();
  }

 private:
  void Fail(const std::string& what) {
    if (failure_.empty()) failure_ = "seed " + std::to_string(plan_.seed) + ": " + what;
  }
  void Expect(bool holds, const std::string& what) {
    if (!holds) Fail(what);
  }
  void ExpectDefined(NTSTATUS status, const char* what) {
    Expect(Defined(status), std::string(what) + " ended with " + Hex(status));
  }

  void Exercise(kscam::CameraSystem& system) {
    NTSTATUS status = system.BringUp();
    ExpectDefined(status, "the start");
    outcome_ = "start failed " + Hex(status);
    // The start reports only the configuration's result: faults of the
    // exchanges after it make no start fail.
    if (plan_.DescriptorsIntact() && !plan_.startAsBridge)
      Expect(status == STATUS_SUCCESS, "the start failed with " + Hex(status) + " on good descriptors");
    if (plan_.startAsBridge) status = FinishDownload(system);
    if (status != STATUS_SUCCESS || !system.Ready()) {
      if (plan_.startAsBridge) outcome_ = "download failed " + Hex(status);
      return;
    }
    outcome_ = plan_.startAsBridge ? "downloaded, properties served" : "started, properties served";
    Use(system);
    if (plan_.DescriptorsIntact()) CheckRecovered(system);
  }

  // The bridge re-enumerates as the camera once the download completes; a
  // download cut short by a disconnect or a failed load is started over by
  // the next start of the bridge. Two more starts at most reach the camera.
  NTSTATUS FinishDownload(kscam::CameraSystem& system) {
    // Descriptors that stay broken would keep any start from working.
    if (!plan_.DescriptorsIntact()) camera_->Calm();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (int round = 0; round < 3; ++round) {
      if (camera_->Disconnected()) camera_->Reconnect();
      bool running = camera_->Camera().FirmwareRunning();
      status = system.ReEnumerate();
      ExpectDefined(status, "a start after re-enumeration");
      if (running) break;
    }
    Expect(camera_->Camera().FirmwareRunning(), "the camera firmware never ran");
    Expect(status == STATUS_SUCCESS, "the camera's start failed with " + Hex(status));
    Expect(system.Context() != nullptr && system.Context()->usb.firmwareRunning,
           "the driver did not see the camera firmware");
    return status;
  }

  // Property requests while the camera may still misbehave, then capture
  // when frames are what the case attacks.
  void Use(kscam::CameraSystem& system) {
    test::CaptureSession session(system);
    bool frames = !plan_.frameEvents.empty() || plan_.bytesAfterHalt > 0 || plan_.silentFrames;
    if (frames) SetGeometry(system.Context(), 0, 0, 64, 32, 0);  // the smallest window: short frames
    NTSTATUS status = session.OpenFilter();
    ExpectDefined(status, "opening the filter");
    if (status != STATUS_SUCCESS) return;
    host::KsDeviceHost& device = system.KsDevice();
    // A lost frame costs one frame time limit; the shortest keeps cases short.
    if (frames) kscam::SetCameraProperty(device, session.Filter(), kPropFrameTimeout, 600);
    int32_t value = 0;
    for (ULONG id : {kPropGlobalGain, kPropExposure, kPropFlipHorizontal, kPropHalfClock, kPropExternalTrigger})
      ExpectDefined(kscam::GetCameraProperty(device, session.Filter(), id, &value), "a property get");
    ExpectDefined(kscam::SetCameraProperty(device, session.Filter(), kPropGlobalGain, 20), "a property set");
    if (frames) {
      outcome_ = "frames attacked";
      Capture(session);
    }
  }

  void Capture(test::CaptureSession& session) {
    NTSTATUS status = session.CreatePin();
    ExpectDefined(status, "creating the pin");
    if (status != STATUS_SUCCESS) return;
    status = session.RunWithFrames(2);
    ExpectDefined(status, "running the pin");
    test::DeliveredFrame frame;
    // Frames under attack may be lost; once the camera behaves, one arrives.
    for (int i = 0; i < 3 && session.NextFrame(&frame, 200ms * kSlowdown); ++i) {
    }
    camera_->Calm();
    // Calm leaves the descriptors as they were: endpoints given other
    // addresses, types or sizes may never carry a frame.
    if (status == STATUS_SUCCESS && plan_.DescriptorsIntact())
      Expect(session.NextFrame(&frame, 3000ms * kSlowdown), "no frame once the camera behaved");
    ExpectDefined(session.SetState(KSSTATE_STOP), "stopping the pin");
    ExpectDefined(session.ClosePin(), "closing the pin");
  }

  // Once the camera behaves, register exchanges pair again: a gain written
  // reaches the sensor, and a gain the sensor holds reads back (the driver
  // keeps the last gain it wrote, so the sensor is given another one first
  // to tell a real read from that copy). A stray answer left by a fault may
  // spoil one read, never two.
  void CheckRecovered(kscam::CameraSystem& system) {
    camera_->Calm();
    NTSTATUS filterStatus;
    PKSFILTER filter = system.KsDevice().OpenFilter(&filterStatus);
    if (filter == nullptr) return Fail("no filter once the camera behaved: " + Hex(filterStatus));
    const int32_t gain = int32_t(1 + plan_.seed % 60);
    NTSTATUS status = kscam::SetCameraProperty(system.KsDevice(), filter, kPropGlobalGain, gain);
    Expect(status == STATUS_SUCCESS, "setting the gain once the camera behaved: " + Hex(status));
    Expect(camera_->Camera().Register(kRegGlobalGain) == gain, "the gain never reached the sensor");
    const int32_t held = gain + 1;
    camera_->Camera().SetRegister(kRegGlobalGain, uint16_t(held));
    int32_t read = -1;
    for (int attempt = 0; attempt < 2 && read != held; ++attempt)
      kscam::GetCameraProperty(system.KsDevice(), filter, kPropGlobalGain, &read);
    Expect(read == held, "the gain read back as " + std::to_string(read) + ", not " + std::to_string(held));
    system.KsDevice().CloseFilter(filter);
  }

  sim::HostilePlan plan_;
  sim::HostileCamera* camera_ = nullptr;
  std::string failure_;
  std::string outcome_;
};

// Runs the seeds of one shard; the failures name their seeds.
void RunShard(uint64_t shard) {
  uint64_t cases = EnvNumber("KSCAM_HOSTILE_CASES", kDefaultCases);
  uint64_t first = EnvNumber("KSCAM_HOSTILE_FIRST_SEED", 1);
  int failures = 0;
  uint64_t run = 0;
  std::map<std::string, uint64_t> outcomes;
  for (uint64_t seed = first + shard; seed < first + cases && failures < kFailuresShown; seed += kShards, ++run) {
    HostileCase hostile(seed);
    std::string failure = hostile.Run();
    ++outcomes[hostile.Outcome()];
    if (!failure.empty()) {
      ++failures;
      ADD_FAILURE() << failure << "\n  reproduce: KSCAM_HOSTILE_SEED=" << seed
                    << " kscam_tests --gtest_filter=HostileCamera.OneSeed";
    }
  }
  printf("hostile cases run in this shard: %llu\n", (unsigned long long)run);
  for (const auto& [outcome, count] : outcomes) printf("  %6llu %s\n", (unsigned long long)count, outcome.c_str());
}

TEST(HostileCamera, Shard0) { RunShard(0); }
TEST(HostileCamera, Shard1) { RunShard(1); }
TEST(HostileCamera, Shard2) { RunShard(2); }
TEST(HostileCamera, Shard3) { RunShard(3); }

TEST(HostileCamera, OneSeed) {
  uint64_t seed = EnvNumber("KSCAM_HOSTILE_SEED", 0);
  if (seed == 0) GTEST_SKIP() << "KSCAM_HOSTILE_SEED names the case to run";
  printf("%s\n", sim::DrawHostilePlan(seed).Describe().c_str());
  std::string failure = HostileCase(seed).Run();
  EXPECT_TRUE(failure.empty()) << failure;
}

}  // namespace

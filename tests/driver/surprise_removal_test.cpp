// The camera pulled out at random points: in the middle of the firmware
// download, of a device start, of a pin state change, of a property set, of a
// frame transfer, or at a random moment while frames flow. Every removal
// must end the I/O in flight within the bound, answer later calls with a
// clear status, and leave no pool memory behind once the device is removed.
// Each case is seeded; a failure names its seed, and KSCAM_REMOVAL_SEED
// replays one case.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "camera/sensor.h"
#include "controls/property_set.h"
#include "platform/host_pool.h"
#include "support/capture_session.h"
#include "tools/client/camera_controls.h"
#include "tools/client/camera_system.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using kscam::CameraSystem;
using test::CaptureSession;
using test::DeliveredFrame;

constexpr auto kPendingBound = milliseconds(500);
constexpr uint8_t kFrameEndpoint = 0x82;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kInstrumented = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kInstrumented = true;
#else
constexpr bool kInstrumented = false;
#endif
#else
constexpr bool kInstrumented = false;
#endif
// The instrumented builds are many times slower: the bound is kept, fewer
// cases run (the default build runs all 1,000).
constexpr int kCasesPerBatch = kInstrumented ? 25 : 125;

enum class Point { Download, DeviceStart, PinStart, PinStop, PropertySet, FrameChunk, Moment };
constexpr int kPoints = 7;
const char* Name(Point point) {
  static const char* const names[] = {"mid-download", "mid-device-start", "mid-pin-start", "mid-pin-stop",
                                      "mid-property-set", "mid-frame", "random-moment"};
  return names[int(point)];
}

std::map<std::string, uint64_t> LiveByTag() {
  std::map<std::string, uint64_t> live;
  for (const char* tag : {"KCNw", "Vdrv", "Vwrk", "IsyR", "!Irp", "!Mdl"})
    live[tag] = host::PoolUsage(tag).liveAllocations;
  return live;
}

std::string Describe(const std::map<std::string, uint64_t>& live) {
  std::string text;
  for (auto& [tag, count] : live) text += tag + "=" + std::to_string(count) + " ";
  return text;
}

// The longest any I/O took to end after a removal, over the process, for
// the batches' report.
class WorstEnd {
 public:
  static void Note(milliseconds taken) {
    std::lock_guard<std::mutex> guard(Lock());
    if (taken > Worst()) Worst() = taken;
  }
  static milliseconds Get() {
    std::lock_guard<std::mutex> guard(Lock());
    return Worst();
  }

 private:
  static std::mutex& Lock() {
    static std::mutex lock;  // guards the worst time
    return lock;
  }
  static milliseconds& Worst() {
    static milliseconds worst{0};
    return worst;
  }
};

// When the camera left: set by the bus's unplug rule, or by the test.
class RemovalClock {
 public:
  void Mark() {
    std::lock_guard<std::mutex> guard(lock_);
    if (!fired_) at_ = Clock::now();
    fired_ = true;
  }
  bool Fired() {
    std::lock_guard<std::mutex> guard(lock_);
    return fired_;
  }
  // Time from the removal to now.
  milliseconds Since() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::chrono::duration_cast<milliseconds>(Clock::now() - at_);
  }

 private:
  std::mutex lock_;  // guards fired_ and at_
  bool fired_ = false;
  Clock::time_point at_;
};

using UrbFilter = std::function<bool(const URB&, uint8_t endpoint)>;
bool AnyUrb(const URB&, uint8_t) { return true; }
bool VendorRequest(const URB& urb, uint8_t) { return urb.UrbHeader.Function == URB_FUNCTION_VENDOR_DEVICE; }
bool FrameChunk(const URB& urb, uint8_t endpoint) {
  return urb.UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && endpoint == kFrameEndpoint;
}

// Pulls the camera out at the k-th request the filter picks (k from 1);
// k = 0 only counts, so a dry run can tell how many requests a step makes.
struct UnplugPoint {
  std::shared_ptr<std::atomic<uint64_t>> seen = std::make_shared<std::atomic<uint64_t>>(0);
  void Arm(CameraSystem& system, RemovalClock& clock, uint64_t k, UrbFilter filter) {
    auto seen = this->seen;
    system.Bus().SetUnplugPoint([seen, &clock, k, filter](const URB& urb, uint8_t endpoint) {
      if (!filter(urb, endpoint)) return false;
      uint64_t n = ++*seen;
      if (k == 0 || n != k) return false;
      clock.Mark();
      return true;
    });
  }
};

sim::CameraOptions OptionsFor(Point point) {
  sim::CameraOptions options;
  options.bridge = sim::BridgeModel::CommandModel;  // the firmware's timing is not what is under test
  options.scene = "bars";
  options.firmwareRunning = point != Point::Download;
  return options;
}

// One removal, from the device's arrival to its removal.
class Removal {
 public:
  Removal(Point point, uint64_t seed) : point_(point), rng_(seed), system_(std::make_unique<CameraSystem>(OptionsFor(point))) {}

  // k = 0: a dry run that counts the requests of the step instead.
  uint64_t Run(uint64_t k) {
    switch (point_) {
      case Point::Download: return AtDeviceStart(k, VendorRequest);
      case Point::DeviceStart: return AtDeviceStart(k, AnyUrb);
      case Point::PinStart: return AtPinStart(k);
      case Point::PinStop: return AtPinStop(k);
      case Point::PropertySet: return AtPropertySet(k);
      case Point::FrameChunk: return AtFrameChunk(k);
      case Point::Moment: return AtMoment();
    }
    return 0;
  }

  bool Fired() { return clock_.Fired(); }
  CameraSystem& System() { return *system_; }
  std::mt19937_64& Rng() { return rng_; }

  // What every removal must leave: the client's queued frames back with a
  // failure status within the bound, later calls refused with a clear
  // status, and a pin that still stops and closes at once.
  void CheckAfterRemoval() {
    ASSERT_TRUE(clock_.Fired());
    WaitForBus();
    if (session_ && session_->Pin() != nullptr) CheckPinAfterRemoval();
    if (session_ && session_->Filter() != nullptr) CheckPropertiesAfterRemoval();
  }

  // The client closes its handles, and the device is stopped and removed as
  // the plug-and-play manager does once the last handle is gone.
  void TearDown() {
    system_->Bus().SetUnplugPoint(nullptr);  // the rule refers to this removal's clock
    if (session_) {
      auto start = Clock::now();
      session_.reset();
      EXPECT_LT(Clock::now() - start, kPendingBound) << "closing the pin and filter";
    }
    if (!system_->KsDevice().Added()) return;
    if (system_->KsDevice().Device()->Started) system_->StopDevice();
    system_->RemoveDevice();
  }

 private:
  void Arm(uint64_t k, UrbFilter filter) { point.Arm(*system_, clock_, k, std::move(filter)); }

  uint64_t AtDeviceStart(uint64_t k, UrbFilter filter) {
    EXPECT_EQ(system_->LoadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(system_->AddDevice(), STATUS_SUCCESS);
    Arm(k, filter);
    NTSTATUS status = system_->StartDevice();
    ExpectEndedInTime("device start");
    if (k != 0 && Fired() && NT_SUCCESS(status) && system_->Ready()) {
      // The start got far enough to offer a filter: a client may open it.
      session_ = std::make_unique<CaptureSession>(*system_);
      if (!NT_SUCCESS(session_->OpenFilter())) session_.reset();
    }
    return point.seen->load();
  }

  void BringUpWithPin() {
    ASSERT_EQ(system_->BringUp(), STATUS_SUCCESS);
    SetGeometry(system_->Context(), 0, 0, 2560, 1920, 2);  // 640 x 480: five chunks a frame
    session_ = std::make_unique<CaptureSession>(*system_);
    session_->SetKeepData(false);
    ASSERT_EQ(session_->OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(session_->CreatePin(), STATUS_SUCCESS);
  }

  void Stream() {
    ASSERT_EQ(session_->RunWithFrames(2), STATUS_SUCCESS);
    DeliveredFrame frame;
    ASSERT_TRUE(session_->NextFrame(&frame));
  }

  uint64_t AtPinStart(uint64_t k) {
    BringUpWithPin();
    if (HasFatalFailure()) return 0;
    Arm(k, AnyUrb);
    NTSTATUS status = session_->RunWithFrames(2);
    ExpectEndedInTime("pin start");
    if (k == 0) {
      DeliveredFrame frame;
      EXPECT_EQ(status, STATUS_SUCCESS);
      EXPECT_TRUE(session_->NextFrame(&frame));  // the dry run counts the first frame's requests too
    }
    // A request drawn among the first frame's is made by the capture thread
    // after the start has returned.
    WaitForRemoval(k);
    return point.seen->load();
  }

  uint64_t AtPinStop(uint64_t k) {
    BringUpWithPin();
    if (HasFatalFailure()) return 0;
    Stream();
    if (HasFatalFailure()) return 0;
    Arm(k, AnyUrb);
    KSSTATE target = rng_() % 2 ? KSSTATE_PAUSE : KSSTATE_STOP;
    EXPECT_EQ(session_->SetState(target), STATUS_SUCCESS) << "stopping never fails";
    ExpectEndedInTime("pin stop");
    if (!Fired() && k != 0) Unplug();  // the stop made fewer requests than drawn: pull it out now
    return point.seen->load();
  }

  uint64_t AtPropertySet(uint64_t k) {
    BringUpWithPin();
    if (HasFatalFailure()) return 0;
    if (rng_() % 2) {
      Stream();
      if (HasFatalFailure()) return 0;
    }
    Arm(k, AnyUrb);
    kscam::CameraControls controls(system_->KsDevice(), session_->Filter());
    const char* const names[] = {"exposure", "gain", "half_clock", "horizontal_flip", "half_clock", "external_trigger"};
    for (int i = 0; i < 12 && (k == 0 || !Fired()); ++i) {
      controls.Set(names[i % 6], i % 2 == 0 ? 1 : 200);
      ExpectEndedInTime("property set");
    }
    if (!Fired() && k != 0) Unplug();
    return point.seen->load();
  }

  uint64_t AtFrameChunk(uint64_t k) {
    BringUpWithPin();
    if (HasFatalFailure()) return 0;
    Arm(k, FrameChunk);
    EXPECT_EQ(session_->RunWithFrames(2), STATUS_SUCCESS);  // the first chunk goes out once the pin runs
    WaitForRemoval(k);
    return point.seen->load();
  }

  uint64_t AtMoment() {
    BringUpWithPin();
    if (HasFatalFailure()) return 0;
    Stream();
    if (HasFatalFailure()) return 0;
    std::this_thread::sleep_for(std::chrono::microseconds(rng_() % 20000));
    Unplug();
    return 0;
  }

  static bool HasFatalFailure() { return ::testing::Test::HasFatalFailure(); }

  // Frames keep flowing until the capture thread makes the k-th request.
  void WaitForRemoval(uint64_t k) {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (k != 0 && !Fired() && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(1));
  }

  void Unplug() {
    clock_.Mark();
    system_->Bus().Unplug();
  }

  void ExpectEndedInTime(const char* what) {
    if (!Fired()) return;
    milliseconds taken = clock_.Since();
    WorstEnd::Note(taken);
    EXPECT_LE(taken, kPendingBound) << what << " returned late after the removal";
  }

  void WaitForBus() {
    while (system_->Bus().PendingInTransfers() != 0 && clock_.Since() <= kPendingBound)
      std::this_thread::sleep_for(milliseconds(1));
    EXPECT_EQ(system_->Bus().PendingInTransfers(), 0u) << "transfers still pending after the bound";
    WorstEnd::Note(clock_.Since());
  }

  // A running pin hands the client's frames back failed. Until the capture
  // thread's next request finds the camera gone, a frame the client queues
  // gets the last picture again (the pin repeats it when no new one came),
  // so the client keeps one frame queued until one fails, within the bound.
  // A pin that is not running refuses to run; either way it stops at once.
  void CheckPinAfterRemoval() {
    session_->SetRequeue(false);
    KSSTATE state = session_->Pin()->DeviceState;  // the state the class driver last reached
    if (state == KSSTATE_RUN) {
      DeliveredFrame frame;
      NTSTATUS failure = STATUS_SUCCESS;
      while (failure == STATUS_SUCCESS && session_->NextFrame(&frame, milliseconds(0))) failure = frame.status;
      while (failure == STATUS_SUCCESS && clock_.Since() <= kPendingBound) {
        session_->QueueFrames(1);
        if (session_->NextFrame(&frame, kPendingBound)) failure = frame.status;
      }
      WorstEnd::Note(clock_.Since());
      EXPECT_EQ(failure, STATUS_DEVICE_NOT_CONNECTED) << "how the client's frames came back within the bound";
      EXPECT_EQ(session_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    }
    EXPECT_EQ(session_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    auto start = Clock::now();
    EXPECT_EQ(session_->SetState(KSSTATE_RUN), STATUS_DEVICE_NOT_CONNECTED) << "a gone camera cannot run";
    EXPECT_LT(Clock::now() - start, kPendingBound);
    EXPECT_EQ(session_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  }

  void CheckPropertiesAfterRemoval() {
    kscam::CameraControls controls(system_->KsDevice(), session_->Filter());
    auto start = Clock::now();
    EXPECT_EQ(controls.Set("exposure", 100), STATUS_DEVICE_NOT_CONNECTED);
    int32_t value = 0;
    EXPECT_EQ(controls.Get("gain", &value), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_LT(Clock::now() - start, kPendingBound);
  }

  Point point_;
  std::mt19937_64 rng_;
  std::unique_ptr<CameraSystem> system_;
  std::unique_ptr<CaptureSession> session_;
  RemovalClock clock_;

 public:
  UnplugPoint point;
};

// How many requests each point's step makes when nothing goes wrong: the
// removal is drawn among them. Counted once per process.
uint64_t RequestsOf(Point point) {
  static std::mutex lock;
  static std::map<Point, uint64_t> counts;
  std::lock_guard<std::mutex> guard(lock);
  auto it = counts.find(point);
  if (it != counts.end()) return it->second;
  uint64_t count = 0;
  if (point == Point::PinStop) {
    count = 8;  // the stop itself makes few requests; the capture thread's are counted too
  } else if (point == Point::FrameChunk) {
    count = 5 * 6;  // six frames of five chunks
  } else if (point != Point::Moment) {
    Removal dry(point, 0);
    count = dry.Run(0);
    dry.TearDown();
  }
  counts[point] = count;
  return count;
}

uint64_t SeedOverride() {
  const char* text = getenv("KSCAM_REMOVAL_SEED");
  return text == nullptr ? 0 : strtoull(text, nullptr, 0);
}

// Removals done, by point, for the batch's report.
using Tally = std::map<std::string, int>;

void RunRemoval(uint64_t seed, Tally* tally) {
  Point point = Point(seed % kPoints);
  uint64_t requests = RequestsOf(point);
  SCOPED_TRACE("removal seed " + std::to_string(seed) + " (" + Name(point) + "); replay with KSCAM_REMOVAL_SEED=" +
               std::to_string(seed));
  auto before = LiveByTag();
  {
    Removal removal(point, seed);
    uint64_t k = requests == 0 ? 0 : 1 + removal.Rng()() % requests;
    removal.Run(k);
    EXPECT_TRUE(removal.Fired()) << "the camera was never pulled out (request " << k << " of " << requests << ")";
    if (!::testing::Test::HasFatalFailure() && removal.Fired()) {
      ++(*tally)[Name(point)];
      removal.CheckAfterRemoval();
    }
    removal.TearDown();
  }
  EXPECT_EQ(LiveByTag(), before) << "left behind by tag: " << Describe(LiveByTag()) << " against " << Describe(before);
}

// --- The defects the random removals found, each on its own ------------------

class SurpriseRemovalRegression : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(system_.BringUp(), STATUS_SUCCESS);
    SetGeometry(system_.Context(), 0, 0, 2560, 1920, 2);
    session_.SetKeepData(false);
    ASSERT_EQ(session_.OpenFilter(), STATUS_SUCCESS);
  }
  void Streaming() {
    ASSERT_EQ(session_.CreatePin(), STATUS_SUCCESS);
    ASSERT_EQ(session_.RunWithFrames(2), STATUS_SUCCESS);
    DeliveredFrame frame;
    ASSERT_TRUE(session_.NextFrame(&frame));
  }
  // The next frame that came back failed, within the bound from start.
  NTSTATUS NextFailure(Clock::time_point start) {
    DeliveredFrame frame;
    while (Clock::now() - start <= kPendingBound)
      if (session_.NextFrame(&frame, milliseconds(5)) && frame.status != STATUS_SUCCESS) return frame.status;
    return STATUS_PENDING;
  }

  CameraSystem system_{OptionsFor(Point::Moment)};
  CaptureSession session_{system_};
};

// The capture thread used to retry a camera that had gone every 20 ms for
// as long as the pin ran, and the client's frames stayed queued until the
// client stopped the pin.
TEST_F(SurpriseRemovalRegression, ARunningPinHandsBackTheClientsFramesFailedAtOnce) {
  Streaming();
  auto start = Clock::now();
  system_.Bus().Unplug();
  EXPECT_EQ(NextFailure(start), STATUS_DEVICE_NOT_CONNECTED) << "queued frames still pending";
  start = Clock::now();
  session_.QueueFrames(1);
  EXPECT_EQ(NextFailure(start), STATUS_DEVICE_NOT_CONNECTED) << "a frame queued after the removal";
  EXPECT_EQ(system_.Bus().PendingInTransfers(), 0u);
}

// Before the first picture the pin has nothing to repeat: the client's
// frames wait for the capture thread, which must wake the pin to hand them
// back failed when it finds the camera gone, not keep retrying it.
TEST_F(SurpriseRemovalRegression, FramesQueuedBeforeTheFirstPictureComeBackFailed) {
  sim::CameraFaults silent;
  silent.silent = true;
  system_.Camera()->SetFaults(silent);
  ASSERT_EQ(session_.CreatePin(), STATUS_SUCCESS);
  ASSERT_EQ(session_.RunWithFrames(2), STATUS_SUCCESS);
  std::this_thread::sleep_for(milliseconds(20));  // the capture thread waits for the first frame
  auto start = Clock::now();
  system_.Bus().Unplug();
  EXPECT_EQ(NextFailure(start), STATUS_DEVICE_NOT_CONNECTED) << "frames queued before any picture";
}

// A pin on a gone camera used to be claimed and run as if nothing happened.
TEST_F(SurpriseRemovalRegression, AGoneCameraCannotBeClaimedOrRunButStopsAndCloses) {
  Streaming();
  system_.Bus().Unplug();
  NextFailure(Clock::now());
  EXPECT_EQ(session_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(session_.SetState(KSSTATE_RUN), STATUS_DEVICE_NOT_CONNECTED) << "from pause";
  EXPECT_EQ(session_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(session_.SetState(KSSTATE_ACQUIRE), STATUS_DEVICE_NOT_CONNECTED) << "from stop";
  EXPECT_EQ(session_.Pin()->DeviceState, KSSTATE_STOP);
  EXPECT_EQ(session_.ClosePin(), STATUS_SUCCESS);
}

// Property requests used to answer success for a camera that had gone: a set
// was lost without a word, and a read returned the record's old value.
TEST_F(SurpriseRemovalRegression, PropertyRequestsFailNotConnectedWhileConstantsStillAnswer) {
  system_.Bus().Unplug();
  kscam::CameraControls controls(system_.KsDevice(), session_.Filter());
  EXPECT_EQ(controls.Set("exposure", 100), STATUS_DEVICE_NOT_CONNECTED) << "the set that finds the camera gone";
  int32_t value = 0;
  EXPECT_EQ(controls.Get("gain", &value), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(controls.Set("brightness", 100), STATUS_DEVICE_NOT_CONNECTED) << "also a setting kept on the host";
  EXPECT_EQ(kscam::GetCameraProperty(system_.KsDevice(), session_.Filter(), kPropExposureMinimum, &value),
            STATUS_SUCCESS)
      << "a constant needs no camera";
}

// 1,000 removals in eight batches of 125 (fewer under the sanitizers), each
// batch its own CTest case so that each stays short.
class SurpriseRemoval : public ::testing::TestWithParam<int> {};

TEST_P(SurpriseRemoval, AtRandomPointsEndsPendingIoRefusesLaterCallsAndLeaksNothing) {
  Tally tally;
  if (uint64_t seed = SeedOverride()) {
    if (GetParam() == 0) RunRemoval(seed, &tally);
    return;
  }
  for (int i = 0; i < kCasesPerBatch && !HasFailure(); ++i) RunRemoval(uint64_t(GetParam()) * 1000 + i + 1, &tally);
  printf("removals:");
  for (auto& [point, count] : tally) printf(" %s %d", point.c_str(), count);
  printf("; worst time for I/O to end after a removal so far %lld ms\n", (long long)WorstEnd::Get().count());
}

INSTANTIATE_TEST_SUITE_P(Batches, SurpriseRemoval, ::testing::Range(0, 8));

}  // namespace

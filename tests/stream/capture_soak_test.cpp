// Capture for a stretch of simulated time while a client changes the
// controls and the bus and the camera misbehave now and then: time stamps
// only increase, every whole frame the camera sent is accounted for as
// delivered or dropped, and pool memory by tag stays flat. The CTest case
// runs two simulated minutes (half a minute under the sanitizers);
// KSCAM_SOAK_MINUTES=10 runs the long soak (see the README), KSCAM_SOAK_SEED
// another fault schedule.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "camera/sensor.h"
#include "platform/host_pool.h"
#include "stream/capture_context.h"
#include "stream/video_range.h"
#include "support/capture_session.h"
#include "tools/client/camera_controls.h"
#include "tools/client/camera_system.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using kscam::CameraSystem;
using test::CaptureSession;
using test::DeliveredFrame;

constexpr uint8_t kFrameEndpoint = 0x82;
// The camera's nominal rate: simulated time is frames sent times its frame
// interval, however fast the unpaced bus moves them.
constexpr double kFramesPerSimulatedSecond = 1e7 / double(kFrameInterval100ns);
constexpr int kFramesPerEvent = 40;       // a control change or a fault every so many frames
constexpr int kFramesPerCheckpoint = 300;  // ten simulated seconds

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kDefaultSeconds = 30;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr double kDefaultSeconds = 30;
#else
constexpr double kDefaultSeconds = 120;
#endif
#else
constexpr double kDefaultSeconds = 120;
#endif

double SimulatedSeconds() {
  const char* minutes = getenv("KSCAM_SOAK_MINUTES");
  return minutes != nullptr ? atof(minutes) * 60 : kDefaultSeconds;
}

uint64_t Seed() {
  const char* seed = getenv("KSCAM_SOAK_SEED");
  return seed != nullptr ? strtoull(seed, nullptr, 0) : 14;
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

struct Figures {
  uint64_t sent = 0;       // whole frames the camera sent
  uint64_t started = 0;    // frames the camera began (silent and abandoned ones too)
  uint64_t delivered = 0;  // fresh pictures in client frames, by the driver's count
  uint64_t dropped = 0;
  uint64_t clientFrames = 0;  // client frames back filled (a repeat of the last picture included)
  uint64_t events = 0;
  std::map<std::string, uint64_t> eventsByKind;
};

class Soak {
 public:
  explicit Soak(uint64_t seed) : rng_(seed) {
    sim::CameraOptions options;
    options.bridge = sim::BridgeModel::CommandModel;  // the driver, not the 8051, is soaked
    options.scene = "bars";
    system_ = std::make_unique<CameraSystem>(options);
  }

  void Run(double simulatedSeconds) {
    ASSERT_EQ(system_->BringUp(), STATUS_SUCCESS);
    SetGeometry(system_->Context(), 0, 0, 2560, 1920, 2);  // 640 x 480: five chunks a frame
    session_ = std::make_unique<CaptureSession>(*system_);
    session_->SetKeepData(false);
    ASSERT_EQ(session_->OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(session_->CreatePin(), STATUS_SUCCESS);
    ASSERT_EQ(system_->KsDevice().SetPinClock(session_->Pin(), true), STATUS_SUCCESS);
    controls_ = std::make_unique<kscam::CameraControls>(system_->KsDevice(), session_->Filter());
    ListControls();
    // A frame the faults keep from arriving costs its time limit: the
    // shortest keeps the soak's wall time down.
    ASSERT_EQ(controls_->Set("frame_timeout_ms", 501), STATUS_SUCCESS);
    InstallChunkFaults();
    ASSERT_EQ(session_->RunWithFrames(3), STATUS_SUCCESS);

    const uint64_t target = uint64_t(simulatedSeconds * kFramesPerSimulatedSecond);
    auto start = Clock::now();
    while (Camera().FramesSent() < target && !::testing::Test::HasFailure()) {
      TakeFrame();
      if (figures_.clientFrames % kFramesPerEvent == 0) Event();
      if (figures_.clientFrames % kFramesPerCheckpoint == 0) Checkpoint();
    }
    Checkpoint();
    wallSeconds_ = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_EQ(session_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ExpectAccounted(0);
  }

  void Close() {
    system_->Bus().SetInFault(nullptr);
    session_.reset();
    system_->StopDevice();
    system_->RemoveDevice();
  }

  void Report(double simulatedSeconds) {
    printf("soak: %.0f simulated s (%.1f wall s): camera sent %llu whole frames (%llu begun), driver delivered %llu "
           "and dropped %llu; client frames %llu; %llu events:",
           simulatedSeconds, wallSeconds_, (unsigned long long)figures_.sent, (unsigned long long)figures_.started,
           (unsigned long long)figures_.delivered, (unsigned long long)figures_.dropped,
           (unsigned long long)figures_.clientFrames, (unsigned long long)figures_.events);
    for (auto& [kind, count] : figures_.eventsByKind) printf(" %s %llu", kind.c_str(), (unsigned long long)count);
    printf("; pool at checkpoints: %s\n", Describe(checkpointPool_).c_str());
  }

 private:
  sim::SimulatedCamera& Camera() { return *system_->Camera(); }
  CaptureContext* Capture() { return system_->Context()->capture; }

  void ListControls() {
    std::vector<kscam::ControlInfo> all;
    ASSERT_EQ(controls_->List(&all), STATUS_SUCCESS);
    for (auto& control : all)
      if (!control.readOnly && !control.refusedWhilePinOpen && control.name != "frame_timeout_ms")
        settable_.push_back(control);
    ASSERT_FALSE(settable_.empty());
  }

  // A chunk error on the frame pipe when armed: the bus halts the endpoint
  // and the driver must recover it before the next frame.
  void InstallChunkFaults() {
    auto armed = failNextChunk_;
    system_->Bus().SetInFault([armed](uint8_t endpoint, uint64_t) {
      host::UsbBus::InFault fault;
      if (endpoint == kFrameEndpoint && armed->exchange(false)) fault.fail = true;
      return fault;
    });
  }

  // The next filled client frame: its time stamp is later than the last.
  void TakeFrame() {
    DeliveredFrame frame;
    ASSERT_TRUE(session_->NextFrame(&frame, std::chrono::seconds(10)))
        << "no frame after " << figures_.clientFrames << " frames";
    ASSERT_EQ(frame.status, STATUS_SUCCESS);
    ASSERT_TRUE(frame.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID);
    LONGLONG time = frame.header.PresentationTime.Time;
    ASSERT_GT(time, lastTime_) << "time stamp went back at client frame " << figures_.clientFrames;
    lastTime_ = time;
    ++figures_.clientFrames;
  }

  void Note(const char* kind) {
    ++figures_.events;
    ++figures_.eventsByKind[kind];
  }

  void Event() {
    switch (rng_() % 8) {
      case 0:
      case 1:
      case 2: {  // a control to a random value in its range (the camera clamps)
        const kscam::ControlInfo& control = settable_[rng_() % settable_.size()];
        int32_t span = control.maximum - control.minimum;
        int32_t value = control.minimum + (span > 0 ? int32_t(rng_() % uint32_t(span + 1)) : 0);
        EXPECT_EQ(controls_->Set(control.name, value), STATUS_SUCCESS) << control.name << " = " << value;
        Note("control");
        break;
      }
      case 3:  // the clock change resets the sensor: the frame read across it is spoiled
        EXPECT_EQ(controls_->Set("half_clock", halfClock_ ^= 1), STATUS_SUCCESS);
        Note("half-clock");
        break;
      case 4:
        failNextChunk_->store(true);
        Note("chunk-error");
        break;
      case 5: {  // the camera says nothing for a while; the frame read ends at its time limit
        SetFaults([](sim::CameraFaults& f) { f.silent = true; });
        std::this_thread::sleep_for(milliseconds(20));
        SetFaults([](sim::CameraFaults& f) { f.silent = false; });
        Note("silence");
        break;
      }
      case 6: {  // the command endpoint stalls until the driver resets it
        SetFaults([](sim::CameraFaults& f) { f.stallCommandPipe = true; });
        std::this_thread::sleep_for(milliseconds(5));
        SetFaults([](sim::CameraFaults& f) { f.stallCommandPipe = false; });
        Note("command-stall");
        break;
      }
      case 7:  // the client pauses and runs again
        Checkpoint();
        Note("pause");
        break;
    }
  }

  template <class Change>
  void SetFaults(Change change) {
    change(faults_);
    Camera().SetFaults(faults_);
  }

  // Paused, with the capture thread stopped: every whole frame is accounted
  // for, and the pool holds what it held at the first checkpoint.
  void Checkpoint() {
    ASSERT_EQ(session_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ExpectAccounted(ReadyFrames());
    auto live = LiveByTag();
    if (checkpointPool_.empty()) checkpointPool_ = live;
    EXPECT_EQ(live, checkpointPool_) << "pool grew: " << Describe(live) << " against " << Describe(checkpointPool_);
    ASSERT_EQ(session_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  }

  uint64_t ReadyFrames() {
    uint64_t ready = 0;
    for (RawBufferState state : Capture()->bufferState) ready += state == kBufferReady;
    return ready;
  }

  void ExpectAccounted(uint64_t ready) {
    figures_.sent = Camera().FramesSent();
    figures_.started = Camera().FramesStarted();
    figures_.delivered = uint64_t(Capture()->framesDelivered);
    figures_.dropped = uint64_t(Capture()->framesDropped);
    EXPECT_EQ(figures_.delivered + figures_.dropped + ready, figures_.sent)
        << figures_.delivered << " delivered, " << figures_.dropped << " dropped, " << ready << " waiting";
    EXPECT_LE(figures_.delivered, uint64_t(session_->Completed())) << "more fresh pictures than client frames came back";
  }

  std::mt19937_64 rng_;
  std::unique_ptr<CameraSystem> system_;
  std::unique_ptr<CaptureSession> session_;
  std::unique_ptr<kscam::CameraControls> controls_;
  std::vector<kscam::ControlInfo> settable_;
  std::shared_ptr<std::atomic<bool>> failNextChunk_ = std::make_shared<std::atomic<bool>>(false);
  sim::CameraFaults faults_;
  int32_t halfClock_ = 0;
  LONGLONG lastTime_ = 0;
  Figures figures_;
  std::map<std::string, uint64_t> checkpointPool_;
  double wallSeconds_ = 0;
};

TEST(CaptureSoak, TimeStampsIncreaseEveryFrameIsAccountedForAndThePoolStaysFlat) {
  host::ClearPoolFaults();
  const auto before = LiveByTag();
  const double seconds = SimulatedSeconds();
  SCOPED_TRACE("soak seed " + std::to_string(Seed()) + "; replay with KSCAM_SOAK_SEED");
  {
    Soak soak(Seed());
    soak.Run(seconds);
    soak.Close();
    soak.Report(seconds);
  }
  EXPECT_EQ(LiveByTag(), before) << "left behind: " << Describe(LiveByTag()) << " against " << Describe(before);
}

}  // namespace

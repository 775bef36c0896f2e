// A camera's life with one injected allocation failure, and the checks that
// every step of it ends in a status the driver documents.
#include "support/allocation_faults.h"

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <vector>

#include "platform/host_threads.h"
#include "support/capture_session.h"
#include "tools/client/camera_controls.h"

namespace test {
namespace {

using namespace std::chrono_literals;

constexpr auto kFrameWait = 3s;
const std::initializer_list<NTSTATUS> kSucceedsOrOutOfMemory = {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES};
const std::initializer_list<NTSTATUS> kSucceeds = {STATUS_SUCCESS};

void ExpectOneOf(NTSTATUS status, std::initializer_list<NTSTATUS> allowed, const char* step) {
  for (NTSTATUS good : allowed)
    if (status == good) return;
  ADD_FAILURE() << step << " returned 0x" << std::hex << uint32_t(status);
}

// Arms the failure for the chosen step only, and notes whether the step
// reached its k-th attempt.
class Injector {
 public:
  explicit Injector(const Injection& injection) : injection_(injection) {}

  template <typename Step>
  NTSTATUS During(Phase phase, Step step) {
    bool chosen = phase == injection_.phase;
    if (chosen) host::FailNthAllocation(injection_.k, injection_.kind);
    NTSTATUS status = step();
    if (chosen) {
      reached_ = host::AllocationAttempts(injection_.kind) >= injection_.k;
      threadObjectFailed_ = host::InjectedPoolFailures(kThreadObjectTag) != 0;
      host::ClearPoolFaults();
    }
    return status;
  }
  bool Reached() const { return reached_; }
  // Whether the failure was injected during the phase.
  bool HitIn(Phase phase) const { return reached_ && injection_.phase == phase; }
  // Whether the allocation that failed was a system thread's object.
  bool ThreadObjectFailed() const { return threadObjectFailed_; }

 private:
  Injection injection_;
  bool reached_ = false;
  bool threadObjectFailed_ = false;
};

// A 320 x 240 subsampled window (two bulk requests a frame) and the
// shortest frame time-out, so that a frame whose transfer lost an
// allocation costs half a second rather than three.
NTSTATUS UseSmallFrames(kscam::CameraSystem& system, PKSFILTER filter) {
  kscam::CameraControls controls(system.KsDevice(), filter);
  NTSTATUS status = controls.SetRegion(kscam::Region{3, 0, 0, 0, 0});
  if (NT_SUCCESS(status)) status = controls.Set("frame_timeout_ms", 501);
  return status;
}

// Every control a client may change while the pin runs, to its maximum and
// back; the trigger (which would stop the frames) and the time-out (kept
// short) excepted.
NTSTATUS ChangeEveryControl(kscam::CameraSystem& system, PKSFILTER filter) {
  kscam::CameraControls controls(system.KsDevice(), filter);
  std::vector<kscam::ControlInfo> list;
  NTSTATUS status = controls.List(&list);
  if (!NT_SUCCESS(status)) return status;
  for (const kscam::ControlInfo& control : list) {
    if (control.readOnly || control.refusedWhilePinOpen) continue;
    if (control.name == "external_trigger" || control.name == "frame_timeout_ms") continue;
    status = controls.Set(control.name, control.maximum);
    if (NT_SUCCESS(status)) status = controls.Set(control.name, control.current);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

// The filter and pin steps of a started camera.
void StreamThroughEveryStep(kscam::CameraSystem& system, Injector& faults, bool* streamed) {
  CaptureSession session(system);
  NTSTATUS status = faults.During(Phase::OpenFilter, [&] {
    NTSTATUS opened = session.OpenFilter();
    return NT_SUCCESS(opened) ? UseSmallFrames(system, session.Filter()) : opened;
  });
  // A start that could not create the filter factory still reports the
  // configuration's outcome, by design: the device is up with no filter to
  // open, and the class driver finds no such object name.
  if (faults.HitIn(Phase::Start))
    ExpectOneOf(status, {STATUS_SUCCESS, STATUS_OBJECT_NAME_NOT_FOUND}, "filter create after a start that lost an allocation");
  else
    ExpectOneOf(status, kSucceedsOrOutOfMemory, "filter create");
  if (session.Filter() == nullptr) return;
  if (NT_SUCCESS(status)) {
    status = faults.During(Phase::CreatePin, [&] { return session.CreatePin(); });
    ExpectOneOf(status, kSucceedsOrOutOfMemory, "pin create");
  }
  if (session.Pin() != nullptr) {
    status = faults.During(Phase::Acquire, [&] { return session.SetState(KSSTATE_ACQUIRE); });
    ExpectOneOf(status, kSucceedsOrOutOfMemory, "stop to acquire");
    if (NT_SUCCESS(status)) {
      status = faults.During(Phase::Pause, [&] {
        NTSTATUS paused = session.SetState(KSSTATE_PAUSE);
        if (NT_SUCCESS(paused)) session.QueueFrames(2);
        return paused;
      });
      ExpectOneOf(status, kSucceeds, "acquire to pause");
    }
    DeliveredFrame frame;
    bool delivered = false;
    if (NT_SUCCESS(status)) {
      status = faults.During(Phase::Run, [&] {
        NTSTATUS running = session.SetState(KSSTATE_RUN);
        if (NT_SUCCESS(running)) delivered = session.NextFrame(&frame, kFrameWait);
        return running;
      });
      ExpectOneOf(status, kSucceedsOrOutOfMemory, "pause to run");
      // A frame whose transfer lost an allocation is dropped and the next
      // one read; only a capture thread that could not be created
      // delivers nothing, as documented.
      if (NT_SUCCESS(status) && !delivered) delivered = session.NextFrame(&frame, kFrameWait);
      if (NT_SUCCESS(status) && !delivered)
        EXPECT_TRUE(faults.HitIn(Phase::Run) && faults.ThreadObjectFailed())
            << "no frame, and the failed allocation was no thread's";
      *streamed = delivered;
    }
    status = faults.During(Phase::Properties, [&] { return ChangeEveryControl(system, session.Filter()); });
    ExpectOneOf(status, kSucceeds, "property sets");
    status = faults.During(Phase::StopPin, [&] { return session.SetState(KSSTATE_STOP); });
    ExpectOneOf(status, kSucceeds, "pin stop");
    status = faults.During(Phase::ClosePin, [&] { return session.ClosePin(); });
    ExpectOneOf(status, kSucceeds, "pin close");
  }
  status = faults.During(Phase::CloseFilter, [&] { return system.KsDevice().CloseFilter(session.Filter()); });
  ExpectOneOf(status, kSucceeds, "filter close");
}

void ExpectNothingLeft() {
  EXPECT_EQ(host::DriverAllocationsOutstanding(), "");
  EXPECT_EQ(host::LiveThreads(host::ThreadRole::System), 0u);
  EXPECT_EQ(host::OpenThreadHandles(), 0u);
}

}  // namespace

std::string PhaseName(Phase phase) {
  static const char* const kNames[] = {"Add",      "Start",    "OpenFilter",  "CreatePin",  "Acquire",
                                       "Pause",    "Run",      "Properties",  "StopPin",    "ClosePin",
                                       "CloseFilter", "StopDevice", "Remove"};
  return int(phase) < int(Phase::Count) ? kNames[int(phase)] : "?";
}

LifeOutcome RunCameraLife(const Injection& injection) {
  Injector faults(injection);
  LifeOutcome outcome;
  {
    kscam::CameraSystem system;
    EXPECT_EQ(system.LoadDriver(), STATUS_SUCCESS);
    NTSTATUS status = faults.During(Phase::Add, [&] { return system.AddDevice(); });
    ExpectOneOf(status, kSucceedsOrOutOfMemory, "device add");
    // A failed add is torn down by the plug-and-play manager at once.
    if (NT_SUCCESS(status)) {
      status = faults.During(Phase::Start, [&] { return system.StartDevice(); });
      ExpectOneOf(status, kSucceedsOrOutOfMemory, "device start");
      if (NT_SUCCESS(status)) StreamThroughEveryStep(system, faults, &outcome.streamed);
      faults.During(Phase::StopDevice, [&] {
        system.StopDevice();
        return STATUS_SUCCESS;
      });
      faults.During(Phase::Remove, [&] {
        system.RemoveDevice();
        return STATUS_SUCCESS;
      });
    }
  }
  ExpectNothingLeft();
  outcome.injected = faults.Reached();
  return outcome;
}

bool FreshCameraStreams() {
  kscam::CameraSystem system;
  if (system.BringUp() != STATUS_SUCCESS) return false;
  bool streamed = false;
  {
    CaptureSession session(system);
    if (NT_SUCCESS(session.OpenFilter()) && NT_SUCCESS(UseSmallFrames(system, session.Filter())) &&
        NT_SUCCESS(session.CreatePin()) && NT_SUCCESS(session.RunWithFrames(2))) {
      DeliveredFrame frame;
      streamed = session.NextFrame(&frame, kFrameWait) && frame.status == STATUS_SUCCESS;
    }
  }
  system.StopDevice();
  system.RemoveDevice();
  return streamed;
}

}  // namespace test

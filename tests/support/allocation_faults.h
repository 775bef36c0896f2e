// One camera's whole life as a client and the plug-and-play manager see it,
// step by step, with an allocation failure injected into one chosen step.
#pragma once

#include <stdint.h>

#include <string>

#include "platform/host_pool.h"

namespace test {

// The sanitizer builds run every instruction several times slower; the
// hardening runs there try fewer points and cycles.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kInstrumentedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kInstrumentedBuild = true;
#else
constexpr bool kInstrumentedBuild = false;
#endif
#else
constexpr bool kInstrumentedBuild = false;
#endif

// The platform's tag for a system thread's object: without it the thread
// is never created, and a pin whose capture thread could not be created
// runs and delivers nothing until it is started again, by design.
constexpr char kThreadObjectTag[] = "Thrd";

// The steps of a camera's life, in order.
enum class Phase {
  Add,
  Start,
  OpenFilter,  // and the small window and short frame time-out the walk streams with
  CreatePin,
  Acquire,
  Pause,
  Run,         // until the first frame comes back
  Properties,  // while frames flow
  StopPin,
  ClosePin,
  CloseFilter,
  StopDevice,
  Remove,
  Count
};
std::string PhaseName(Phase phase);

// Fail the k-th counted allocation of the kind made during the phase.
struct Injection {
  Phase phase;
  host::AllocationKind kind;
  uint64_t k;
};

struct LifeOutcome {
  bool injected = false;  // the phase reached its k-th allocation
  bool streamed = false;  // a frame came while the pin ran
};

// Runs the whole life of a new simulated camera with the injection, and
// checks with gtest expectations that every reported status is one the
// driver documents for that step, that frames flow where the design lets
// them, and that nothing of the driver's is left after removal.
LifeOutcome RunCameraLife(const Injection& injection);

// Brings a new camera up in this process, streams one frame and removes it.
bool FreshCameraStreams();

}  // namespace test

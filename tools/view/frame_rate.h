// Rates and losses of a stream of frames, judged from when frames arrive and
// from the presentation times the camera stamped on them.
#pragma once

#include <stdint.h>

#include <chrono>
#include <deque>

namespace kscam::view {

class FrameRateMeter {
 public:
  using Clock = std::chrono::steady_clock;

  // Forgets every frame; the camera promises one frame per interval (100 ns units).
  void Restart(int64_t nominalInterval100ns);
  // One delivered frame: when it arrived, and its time stamp when it has one.
  void Record(Clock::time_point arrival, bool timeValid, int64_t time100ns);

  // Frames per second over the frames that arrived within the last window;
  // 0 when fewer than two did.
  double MeasuredFps(Clock::time_point now) const;
  double NominalFps() const;
  uint64_t Frames() const { return frames_; }
  // Frames the nominal rate promised between two delivered frames that never
  // came: the camera or the driver lost them.
  uint64_t Dropped() const { return dropped_; }

  static constexpr std::chrono::seconds kWindow{2};

 private:
  void Forget(Clock::time_point now);

  int64_t interval_ = 0;
  std::deque<Clock::time_point> arrivals_;  // within the window, oldest first
  bool haveTime_ = false;
  int64_t lastTime_ = 0;
  uint64_t frames_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace kscam::view

#include "tools/view/frame_rate.h"

namespace kscam::view {

void FrameRateMeter::Restart(int64_t nominalInterval100ns) {
  interval_ = nominalInterval100ns;
  arrivals_.clear();
  haveTime_ = false;
  frames_ = 0;
  dropped_ = 0;
}

void FrameRateMeter::Forget(Clock::time_point now) {
  while (!arrivals_.empty() && now - arrivals_.front() > kWindow) arrivals_.pop_front();
}

void FrameRateMeter::Record(Clock::time_point arrival, bool timeValid, int64_t time100ns) {
  ++frames_;
  arrivals_.push_back(arrival);
  Forget(arrival);
  if (!timeValid) return;
  // A gap of n intervals (to the nearest whole one) between two stamped
  // frames means n - 1 frames in between were lost. Time going backwards
  // (a clock that was reset) says nothing about losses.
  if (haveTime_ && interval_ > 0 && time100ns > lastTime_) {
    int64_t intervals = (time100ns - lastTime_ + interval_ / 2) / interval_;
    if (intervals > 1) dropped_ += uint64_t(intervals - 1);
  }
  haveTime_ = true;
  lastTime_ = time100ns;
}

double FrameRateMeter::MeasuredFps(Clock::time_point now) const {
  size_t recent = 0;
  Clock::time_point oldest{};
  for (auto arrival = arrivals_.rbegin(); arrival != arrivals_.rend() && now - *arrival <= kWindow; ++arrival) {
    oldest = *arrival;
    ++recent;
  }
  if (recent < 2) return 0;
  std::chrono::duration<double> span = arrivals_.back() - oldest;
  return span.count() > 0 ? double(recent - 1) / span.count() : 0;
}

double FrameRateMeter::NominalFps() const { return interval_ > 0 ? 1e7 / double(interval_) : 0; }

}  // namespace kscam::view

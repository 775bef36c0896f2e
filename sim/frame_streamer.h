// The bridge's frame output: where the sensor's rows sit in the raw frame it
// sends, and how the frame's bytes leave on the frame endpoint, all at once or
// paced at a bulk transfer rate.
#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/usb_bus.h"
#include "sim/sensor.h"
#include "sim/usb_identity.h"

namespace sim {

// The byte the bridge sends where no sample is: the lead-in, row blanking and
// padding after the last row.
constexpr uint8_t kFillerByte = 0x5A;

// Where the samples sit in a raw frame: sample (x, y) is at byte
// lineOffset + y × rowPitch + x.
struct FrameLayout {
  uint32_t lineOffset = 0;
  uint32_t rowPitch = 0;
  uint32_t outputWidth = 0;
  uint32_t outputHeight = 0;
  // Bytes up to the end of the last row's blanking.
  uint64_t NaturalBytes() const { return lineOffset + uint64_t(rowPitch) * outputHeight; }
  // The frame size the bridge uses when the driver never set one: the
  // natural size rounded up to a whole kilobyte.
  uint32_t DefaultFrameBytes() const;
};

FrameLayout LayoutOf(const Readout& readout);

// Frame faults the streamer shows.
struct StreamFaults {
  bool silent = false;          // a started frame sends nothing
  int64_t stopAfterBytes = -1;  // a frame sends no more than this (-1: no limit)
};

using Clock = std::chrono::steady_clock;

// One frame at a time: started by go, cut short by halt, drained by the bulk
// IN transfers of the frame endpoint. Not thread-safe; the camera's lock
// covers it.
class FrameStreamer {
 public:
  // bytesPerSecond 0: unpaced, every byte is available as soon as the frame starts.
  explicit FrameStreamer(double bytesPerSecond) : bytesPerSecond_(bytesPerSecond) {}

  // Prepares the next frame of `bytes` bytes and returns the buffer for its
  // first `contentBytes` (at most `bytes`), filled with filler; the rest of
  // the frame is filler that is never stored, so any size the driver sets
  // costs no more memory than the rows. The frame in progress, if any, ends.
  uint8_t* NewFrame(uint32_t bytes, uint64_t contentBytes);
  void Start(Clock::time_point now, const StreamFaults& faults);
  void Halt() { active_ = false; }

  // Fills an IN transfer with what has become available by `now`.
  host::UsbInResult Fill(uint8_t* buffer, uint32_t capacity, Clock::time_point now);
  // True while a paced frame still has bytes that will become available later.
  bool MoreToCome(Clock::time_point now) const;

  uint64_t FramesSent() const { return framesSent_; }
  uint64_t FramesStarted() const { return framesStarted_; }

 private:
  uint64_t Limit() const;
  uint64_t Available(Clock::time_point now) const;

  double bytesPerSecond_;
  uint64_t size_ = 0;           // bytes of the frame
  std::vector<uint8_t> frame_;  // its stored beginning
  uint64_t sent_ = 0;
  bool active_ = false;
  StreamFaults faults_;
  Clock::time_point started_;
  uint64_t framesStarted_ = 0;
  uint64_t framesSent_ = 0;
};

// A thread that, while armed, calls `tick` about every `interval`; `tick`
// returns whether to keep going. Arm() restarts it after it went quiet.
class Pacer {
 public:
  Pacer(std::chrono::microseconds interval, std::function<bool()> tick);
  ~Pacer();
  Pacer(const Pacer&) = delete;
  Pacer& operator=(const Pacer&) = delete;
  void Arm();

 private:
  void Run();

  std::chrono::microseconds interval_;
  std::function<bool()> tick_;
  std::mutex lock_;  // guards the three fields below
  std::condition_variable wake_;
  bool stopping_ = false;
  uint64_t arms_ = 0;      // Arm() calls so far
  uint64_t serving_ = 0;   // the arm count the thread has caught up with
  std::thread thread_;
};

}  // namespace sim

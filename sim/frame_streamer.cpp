#include "sim/frame_streamer.h"

#include <string.h>

#include <algorithm>

namespace sim {

uint32_t FrameLayout::DefaultFrameBytes() const {
  uint64_t rounded = (NaturalBytes() + 1023) / 1024 * 1024;
  return uint32_t(std::min<uint64_t>(rounded, 0xFFFFFC00u));
}

FrameLayout LayoutOf(const Readout& readout) {
  FrameLayout layout;
  layout.lineOffset = readout.leadInBytes;
  layout.rowPitch = readout.outputWidth + readout.rowBlankingBytes;
  layout.outputWidth = readout.outputWidth;
  layout.outputHeight = readout.outputHeight;
  return layout;
}

uint8_t* FrameStreamer::NewFrame(uint32_t bytes, uint64_t contentBytes) {
  active_ = false;
  size_ = bytes;
  frame_.assign(std::min<uint64_t>(bytes, contentBytes), kFillerByte);
  return frame_.data();
}

void FrameStreamer::Start(Clock::time_point now, const StreamFaults& faults) {
  faults_ = faults;
  started_ = now;
  sent_ = 0;
  ++framesStarted_;
  active_ = size_ > 0;
  if (size_ == 0) ++framesSent_;  // nothing to send: done at once
}

uint64_t FrameStreamer::Limit() const {
  if (faults_.silent) return 0;
  uint64_t size = size_;
  if (faults_.stopAfterBytes >= 0) size = std::min<uint64_t>(size, uint64_t(faults_.stopAfterBytes));
  return size;
}

uint64_t FrameStreamer::Available(Clock::time_point now) const {
  uint64_t limit = Limit();
  if (bytesPerSecond_ <= 0) return limit;
  double seconds = std::chrono::duration<double>(now - started_).count();
  return std::min<uint64_t>(limit, uint64_t(seconds * bytesPerSecond_));
}

bool FrameStreamer::MoreToCome(Clock::time_point now) const { return active_ && Available(now) < Limit(); }

host::UsbInResult FrameStreamer::Fill(uint8_t* buffer, uint32_t capacity, Clock::time_point now) {
  if (!active_) return {};
  uint64_t available = Available(now);
  if (available <= sent_) return {};
  uint32_t bytes = uint32_t(std::min<uint64_t>(capacity, available - sent_));
  uint64_t stored = sent_ < frame_.size() ? std::min<uint64_t>(bytes, frame_.size() - sent_) : 0;
  memcpy(buffer, frame_.data() + sent_, stored);
  memset(buffer + stored, kFillerByte, bytes - stored);
  sent_ += bytes;
  host::UsbInResult result{USBD_STATUS_SUCCESS, bytes, false};
  if (sent_ == size_) {
    active_ = false;
    ++framesSent_;
    // A frame whose length is not a whole number of packets ends with a short
    // packet, which also ends the transfer it lands in.
    result.transferEnds = size_ % kBulkMaxPacket != 0;
  }
  return result;
}

Pacer::Pacer(std::chrono::microseconds interval, std::function<bool()> tick)
    : interval_(interval), tick_(std::move(tick)) {
  thread_ = std::thread([this] { Run(); });
}

Pacer::~Pacer() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void Pacer::Arm() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    ++arms_;
  }
  wake_.notify_all();
}

void Pacer::Run() {
  std::unique_lock<std::mutex> guard(lock_);
  for (;;) {
    wake_.wait(guard, [this] { return stopping_ || serving_ != arms_; });
    if (stopping_) return;
    uint64_t arm = arms_;
    // Sleep on the condition variable so that stopping interrupts the wait.
    if (wake_.wait_for(guard, interval_, [this] { return stopping_; })) return;
    guard.unlock();
    bool more = tick_();
    guard.lock();
    // An Arm() that came in during the tick keeps the thread going.
    if (!more && arm == arms_) serving_ = arm;
  }
}

}  // namespace sim

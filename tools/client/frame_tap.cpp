// The frame tap: a go command opens a frame, the frame pipe's bytes fill it,
// and it is whole when it holds the frame size the camera was set to send.
// A halt, a second go or a reset abandons a frame still open, as the camera
// abandons it too.
#include "tools/client/frame_tap.h"

#include <time.h>

#include "sim/usb_identity.h"
#include "usb/command_packets.h"

namespace kscam {

namespace {

int64_t Monotonic100ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 10000000 + now.tv_nsec / 100;
}

}  // namespace

FrameTap::FrameTap(std::unique_ptr<sim::SimulatedCamera> camera) : camera_(std::move(camera)) {}

void FrameTap::Arm(size_t queueDepth) {
  std::lock_guard<std::mutex> guard(lock_);
  armed_ = true;
  queueDepth_ = queueDepth;
  whole_.clear();
  seen_ = dropped_ = 0;
}

void FrameTap::Disarm() {
  std::lock_guard<std::mutex> guard(lock_);
  armed_ = false;
  Abandon();
}

void FrameTap::Abandon() {
  collecting_ = false;
  received_ = 0;
  partial_.clear();
}

bool FrameTap::NextFrame(RawFrame* frame, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  if (!arrived_.wait_for(guard, timeout, [this] { return !whole_.empty(); })) return false;
  *frame = std::move(whole_.front());
  whole_.pop_front();
  return true;
}

uint64_t FrameTap::FramesSeen() {
  std::lock_guard<std::mutex> guard(lock_);
  return seen_;
}

uint64_t FrameTap::FramesDropped() {
  std::lock_guard<std::mutex> guard(lock_);
  return dropped_;
}

double FrameTap::MeasuredRate() {
  std::lock_guard<std::mutex> guard(lock_);
  if (seen_ < 2 || lastWhole100ns_ <= firstWhole100ns_) return 0;
  return double(seen_ - 1) * 1e7 / double(lastWhole100ns_ - firstWhole100ns_);
}

host::UsbTransferResult FrameTap::BulkOut(uint8_t endpointAddress, const uint8_t* data, uint32_t length) {
  bool command = endpointAddress == sim::kCommandEndpoint && length > 0;
  if (!command || (data[0] != kCommandFrameGo && data[0] != kCommandFrameHalt))
    return camera_->BulkOut(endpointAddress, data, length);
  // The frame opens before the go reaches the camera: an unpaced camera
  // answers the frame pipe's waiting reads from inside the go, and bytes that
  // came before the frame was open would make it never whole. The size the
  // go sends was set by an earlier command.
  uint32_t frameBytes = data[0] == kCommandFrameGo ? camera_->FrameSize() : 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    Abandon();
    if (armed_ && frameBytes > 0) {
      collecting_ = true;
      expectedBytes_ = frameBytes;
      if (queueDepth_ > 0) partial_.reserve(frameBytes);
    }
  }
  host::UsbTransferResult result = camera_->BulkOut(endpointAddress, data, length);
  if (result.status != USBD_STATUS_SUCCESS) {
    std::lock_guard<std::mutex> guard(lock_);
    Abandon();  // the camera never started the frame
  }
  return result;
}

host::UsbInResult FrameTap::BulkIn(uint8_t endpointAddress, uint8_t* buffer, uint32_t capacity) {
  host::UsbInResult result = camera_->BulkIn(endpointAddress, buffer, capacity);
  if (endpointAddress != sim::kFrameEndpoint || result.bytes == 0) return result;
  std::lock_guard<std::mutex> guard(lock_);
  if (!collecting_) return result;
  uint32_t wanted = expectedBytes_ - received_;
  uint32_t taken = result.bytes < wanted ? result.bytes : wanted;
  received_ += taken;
  if (queueDepth_ > 0) partial_.insert(partial_.end(), buffer, buffer + taken);
  if (received_ < expectedBytes_) return result;
  RawFrame frame;
  frame.sequence = seen_++;
  frame.time100ns = Monotonic100ns();
  if (frame.sequence == 0) firstWhole100ns_ = frame.time100ns;
  lastWhole100ns_ = frame.time100ns;
  frame.bytes = std::move(partial_);
  Abandon();
  if (queueDepth_ == 0) return result;
  whole_.push_back(std::move(frame));
  while (whole_.size() > queueDepth_) {
    whole_.pop_front();
    ++dropped_;
  }
  arrived_.notify_all();
  return result;
}

void FrameTap::PortReset() {
  camera_->PortReset();
  std::lock_guard<std::mutex> guard(lock_);
  Abandon();
}

}  // namespace kscam

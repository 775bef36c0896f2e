#include "tools/view/frame_exchange.h"

namespace kscam::view {

void FrameExchange::Offer(const Frame& frame) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (waiters_ == 0 || closed_) return;
  }
  // Copied outside the lock: a waiter that gives up meanwhile costs one copy.
  auto copy = std::make_shared<const Frame>(frame);
  std::lock_guard<std::mutex> guard(lock_);
  latest_ = std::move(copy);
  ++copies_;
  offered_.notify_all();
}

std::shared_ptr<const Frame> FrameExchange::WaitForNext(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  const uint64_t before = copies_;
  ++waiters_;
  bool arrived = offered_.wait_for(guard, timeout, [&] { return closed_ || copies_ != before; });
  --waiters_;
  if (!arrived || closed_) return nullptr;
  return latest_;
}

void FrameExchange::Close() {
  std::lock_guard<std::mutex> guard(lock_);
  closed_ = true;
  latest_.reset();
  offered_.notify_all();
}

}  // namespace kscam::view

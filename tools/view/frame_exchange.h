// Hands frames from the pin's completion thread to threads that wait for
// one. A frame is copied only while somebody waits: full-size frames are
// large, and most of them are needed by nobody.
#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "tools/client/camera_client.h"

namespace kscam::view {

class FrameExchange {
 public:
  // From the completion thread: the frame that just arrived.
  void Offer(const Frame& frame);
  // The first frame offered after the call began; null when none came in
  // time or the exchange was closed.
  std::shared_ptr<const Frame> WaitForNext(std::chrono::milliseconds timeout);
  // Ends every wait at once, now and later.
  void Close();

 private:
  std::mutex lock_;  // guards everything below
  std::condition_variable offered_;
  std::shared_ptr<const Frame> latest_;
  uint64_t copies_ = 0;  // frames copied for waiters so far
  int waiters_ = 0;
  bool closed_ = false;
};

}  // namespace kscam::view

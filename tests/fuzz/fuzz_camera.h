// What the driver's fuzz targets share: one started camera per process with
// an open filter, reached as a client reaches it, and a check that an input
// left no pool allocation behind.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "platform/ks_host.h"
#include "support/capture_session.h"
#include "tools/client/camera_system.h"

namespace fuzz {

// Started once, on the C++ command model (the fastest camera; the firmware's
// answers are the same). Aborts if the camera does not come up.
kscam::CameraSystem& Camera();
test::CaptureSession& Session();  // its filter is open
PKSFILTER Filter();
// The format the intersect handler makes from the pin's own range.
const std::vector<uint8_t>& OfferedFormat();
// The pin's own range list (a KSMULTIPLE_ITEM), as a client reads it.
std::vector<uint8_t> OfferedRanges();

// Reads a little-endian value from the front of the input, or 0 past its end,
// and advances over it.
class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint32_t Take(size_t bytes);
  std::vector<uint8_t> Rest();
  size_t Left() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Aborts, naming the target, if pool allocations live now differ from the
// count at construction: a rejected or served request must leave none.
class PoolBalance {
 public:
  explicit PoolBalance(const char* what);
  ~PoolBalance();

 private:
  const char* what_;
  uint64_t before_;
};

}  // namespace fuzz

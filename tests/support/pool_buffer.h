// A frame buffer in non-paged pool, as the capture pin allocates it: the
// frame transfer describes it with a memory descriptor built for non-paged
// pool, which the host platform refuses for any other memory.
#pragma once

#include <string.h>

#include "driver/kernel.h"
#include "platform/host_pool.h"

namespace kscam_test {

class PoolBuffer {
 public:
  // The test's memory, not the driver's: never failed by the fault
  // injection and never counted among the driver's allocations.
  explicit PoolBuffer(size_t size, UCHAR fill = 0) : size_(size) {
    host::RigAllocations rig;
    data_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTagFrames));
    if (data_ != nullptr) memset(data_, fill, size);
  }
  ~PoolBuffer() {
    if (data_ != nullptr) ExFreePoolWithTag(data_, kTagFrames);
  }
  PoolBuffer(const PoolBuffer&) = delete;
  PoolBuffer& operator=(const PoolBuffer&) = delete;
  PUCHAR data() const { return data_; }
  size_t size() const { return size_; }

 private:
  PUCHAR data_ = nullptr;
  size_t size_;
};

}  // namespace kscam_test

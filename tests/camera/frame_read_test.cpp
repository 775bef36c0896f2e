// The camera object's frame read against clock changes: the raw layout the
// pin's buffers were sized for stays in force, and the handshake makes a read
// wait while the sensor is being rewritten.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "camera/sensor.h"
#include "platform/host_pool.h"
#include "tools/client/camera_system.h"
#include "usb/frame_transfer.h"

namespace {

using kscam::CameraSystem;
using namespace std::chrono_literals;

CameraObject* Object(DeviceContext* ctx) { return ctx; }

// A raw buffer from the pool with guard bytes behind the part the read may fill.
class GuardedBuffer {
 public:
  static constexpr ULONG kGuard = 65536;
  static constexpr UCHAR kFill = 0xEE;
  explicit GuardedBuffer(ULONG bytes) : bytes_(bytes) {
    data_ = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes + kGuard, PoolTag("Test")));
    memset(data_, kFill, bytes + kGuard);
  }
  ~GuardedBuffer() { ExFreePoolWithTag(data_, PoolTag("Test")); }
  PUCHAR data() { return data_; }
  ULONG bytes() const { return bytes_; }
  bool GuardIntact() const {
    for (ULONG i = 0; i < kGuard; ++i)
      if (data_[bytes_ + i] != kFill) return false;
    return true;
  }

 private:
  PUCHAR data_;
  ULONG bytes_;
};

// Makes every exchange give up after a short time while a test runs.
class ShortTimeLimit {
 public:
  explicit ShortTimeLimit(LONG ms) : saved_(InterlockedExchange(&transferTimeoutMs, ms)) {}
  ~ShortTimeLimit() { InterlockedExchange(&transferTimeoutMs, saved_); }

 private:
  LONG saved_;
};

// A clock change resets the sensor, and the identification reads that follow
// may fail. On the 1800 a failed read looks like the long lead-in revision,
// whose frame is 8,192 bytes longer at 64 x 32: the layout must stay the one
// the buffers were made for, with a pin (layout fixed) and without one (the
// last good identity is kept).
TEST(FrameLayout, ClockChangeWithFailedIdentificationKeepsTheLayout) {
  for (LONG pinOpen : {1, 0}) {
    SCOPED_TRACE(pinOpen ? "with a pin" : "without a pin");
    CameraSystem system;
    ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
    DeviceContext* ctx = system.Context();
    SetGeometry(ctx, 0, 0, 64, 32, 0);
    SetPinOpen(ctx, pinOpen);
    Object(ctx)->ApplySettings();
    const ULONG frameBytes = ctx->frameBytes;
    ASSERT_EQ(frameBytes, 23552u);
    GuardedBuffer buffer(frameBytes);

    sim::CameraFaults faults;
    faults.noReplies = true;
    system.Camera()->SetFaults(faults);
    {
      ShortTimeLimit limit(100);
      EXPECT_TRUE(SetHalfClock(ctx, 1));
    }
    system.Camera()->SetFaults(sim::CameraFaults());
    EXPECT_EQ(ctx->lineOffset, 608u);
    EXPECT_EQ(ctx->frameBytes, frameBytes);
    EXPECT_EQ(system.Camera()->FrameSize(), frameBytes) << "the bridge sends what the buffers hold";

    BOOLEAN good = TRUE;
    Object(ctx)->ReadFrame(buffer.data(), buffer.bytes(), &good);
    EXPECT_FALSE(good) << "read across the clock change";
    EXPECT_EQ(Object(ctx)->ReadFrame(buffer.data(), buffer.bytes(), &good), STATUS_SUCCESS);
    EXPECT_TRUE(good);
    EXPECT_TRUE(buffer.GuardIntact()) << "the frame read wrote past its buffer";
    SetPinOpen(ctx, 0);
  }
}

// The frame read is given the size of the buffer it fills: a layout longer
// than that is refused before anything goes to the camera.
TEST(FrameLayout, AReadIntoABufferShorterThanTheFrameIsRefused) {
  CameraSystem system;
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  DeviceContext* ctx = system.Context();
  SetGeometry(ctx, 0, 0, 64, 32, 0);
  Object(ctx)->ApplySettings();
  GuardedBuffer shortBuffer(ctx->frameBytes - 1);
  system.Bus().ClearLog();
  BOOLEAN good = TRUE;
  EXPECT_EQ(Object(ctx)->ReadFrame(shortBuffer.data(), shortBuffer.bytes(), &good), STATUS_BUFFER_TOO_SMALL);
  EXPECT_FALSE(good);
  EXPECT_TRUE(shortBuffer.GuardIntact());
  EXPECT_TRUE(system.Bus().Log().empty()) << "nothing is sent for a frame that cannot be read";

  GuardedBuffer buffer(ctx->frameBytes);
  EXPECT_EQ(Object(ctx)->ReadFrame(buffer.data(), buffer.bytes(), &good), STATUS_SUCCESS);
  EXPECT_TRUE(good);
  EXPECT_TRUE(buffer.GuardIntact());
}

}  // namespace

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
#include "support/exchange_helpers.h"
#include "support/scripted_device.h"
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
      kscam_test::FrameTimeLimit limit(100);
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

// The frame halt that opens a read is the capture thread's own packet on the
// command pipe. When it fails the stack halts the endpoint; a read cancelled
// before its requests go out used to leave it halted, and the next register
// write (a gain set, say, whose result the property path ignores) was lost.
TEST(FrameLayout, AFailedFrameHaltLeavesTheCommandPipeWorking) {
  auto owned = std::make_unique<test::ScriptedDevice>();
  test::ScriptedDevice* device = owned.get();
  CameraSystem system(std::move(owned));
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  DeviceContext* ctx = system.Context();
  SetGeometry(ctx, 0, 0, 64, 32, 0);
  Object(ctx)->ApplySettings();
  GuardedBuffer buffer(ctx->frameBytes);

  device->stallCommand = 0x02;
  device->SetCommandHook([ctx](const std::vector<uint8_t>& command) {
    if (!command.empty() && command[0] == 0x02) Object(ctx)->CancelRead();  // a stop, just then
  });
  BOOLEAN good = TRUE;
  EXPECT_EQ(Object(ctx)->ReadFrame(buffer.data(), buffer.bytes(), &good), STATUS_CANCELLED);
  device->SetCommandHook(nullptr);
  device->stallCommand = -1;
  EXPECT_FALSE(system.Bus().EndpointHalted(0x01));
  EXPECT_TRUE(SetGlobalGain(ctx, 17));
  EXPECT_EQ(device->Register(kRegGlobalGain), 17);
}

// Holds the camera at the first register write of a sensor initialisation
// (register 0x0D), which a clock change makes right after its clock command.
class ClockChangeGate {
 public:
  explicit ClockChangeGate(test::ScriptedDevice* device) {
    device->SetCommandHook([this](const std::vector<uint8_t>& command) {
      if (command.size() < 2 || command[0] != 0x04 || command[1] != 0x0D || !armed_.exchange(false)) return;
      held_.set_value();
      release_.wait_for(10s);
    });
  }
  void Arm() { armed_ = true; }
  void WaitHeld() { ASSERT_EQ(held_.get_future().wait_for(10s), std::future_status::ready); }
  void Release() { releaser_.set_value(); }

 private:
  std::atomic<bool> armed_{false};
  std::promise<void> held_;
  std::promise<void> releaser_;
  std::shared_future<void> release_ = releaser_.get_future().share();
};

bool FrameHaltSent(host::UsbBus& bus) {
  for (const host::UsbLogEntry& entry : bus.Log())
    if (!entry.data.empty() && entry.data[0] == 0x02) return true;
  return false;
}

// A stream stop (CancelRead) and a failed clock change both signal the
// handshake event with no reader to consume it. A read that takes the mark of
// the next clock change must still wait until that change is finished.
TEST(ClockChangeHandshake, AReadWaitsForTheNextClockChangeAfterAStopOrAFailedChange) {
  enum Before { kStreamStopped, kClockChangeFailed };
  for (Before before : {kStreamStopped, kClockChangeFailed}) {
    SCOPED_TRACE(before == kStreamStopped ? "after a stop" : "after a failed clock change");
    auto owned = std::make_unique<test::ScriptedDevice>();
    test::ScriptedDevice* device = owned.get();
    device->sendFrames = true;
    CameraSystem system(std::move(owned));
    ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
    DeviceContext* ctx = system.Context();
    SetGeometry(ctx, 0, 0, 64, 32, 0);
    Object(ctx)->ApplySettings();
    GuardedBuffer buffer(ctx->frameBytes);

    if (before == kStreamStopped) {
      Object(ctx)->CancelRead();
    } else {
      system.Bus().SetSubmitFault([](const URB& urb, uint8_t endpoint) {
        const UCHAR* packet = kscam_test::CommandPacketOf(urb, endpoint);
        return packet != nullptr && packet[0] == 0x23;
      });
      EXPECT_FALSE(SetHalfClock(ctx, 1));
      system.Bus().SetSubmitFault(nullptr);
    }

    ClockChangeGate gate(device);
    gate.Arm();
    auto change = std::async(std::launch::async, [&] { return SetHalfClock(ctx, 1); });
    gate.WaitHeld();
    system.Bus().ClearLog();
    auto reader = std::async(std::launch::async, [&] {
      BOOLEAN good = TRUE;
      Object(ctx)->ReadFrame(buffer.data(), buffer.bytes(), &good);
      return good;
    });
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(FrameHaltSent(system.Bus())) << "the read went ahead while the sensor was rewritten";
    gate.Release();
    EXPECT_TRUE(change.get());
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(reader.get());
    BOOLEAN good = FALSE;
    EXPECT_EQ(Object(ctx)->ReadFrame(buffer.data(), buffer.bytes(), &good), STATUS_SUCCESS);
    EXPECT_TRUE(good);
    device->SetCommandHook(nullptr);
  }
}

}  // namespace

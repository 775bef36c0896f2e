// Register exchanges with a camera whose replies go wrong: short, failed,
// late or left over from an earlier command. Every read after such a reply
// must still get its own register's value.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "camera/sensor.h"
#include "support/exchange_helpers.h"
#include "tools/client/camera_system.h"
#include "usb/command_packets.h"
#include "usb/frame_transfer.h"

namespace {

using kscam::CameraSystem;
using namespace std::chrono_literals;
using kscam_test::FrameTimeLimit;
using kscam_test::Packet;


// Registers with values that tell them apart, and none equal to another's.
constexpr UCHAR kRegisters[] = {0x60, 0x61, 0x62, 0x63};
constexpr uint16_t ValueOf(UCHAR reg) { return uint16_t(0x1100 * (reg - 0x5F) + reg); }


class RegisterExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(system_.BringUp(), STATUS_SUCCESS);
    ctx_ = system_.Context();
    for (UCHAR reg : kRegisters) Camera().SetRegister(reg, ValueOf(reg));
  }
  sim::SimulatedCamera& Camera() { return *system_.Camera(); }
  void SetFault(void (*set)(sim::CameraFaults&)) {
    sim::CameraFaults faults;
    set(faults);
    Camera().SetFaults(faults);
  }
  void ClearFaults() { Camera().SetFaults(sim::CameraFaults()); }
  // Reads every test register twice over; each must give its own value.
  void ExpectEveryReadPaired() {
    for (int round = 0; round < 2; ++round)
      for (UCHAR reg : kRegisters) {
        ULONG value = 0;
        EXPECT_TRUE(ReadSensorRegister(ctx_, reg, &value)) << "register " << int(reg);
        EXPECT_EQ(value, ValueOf(reg)) << "register " << int(reg);
      }
  }

  CameraSystem system_;
  DeviceContext* ctx_ = nullptr;
};

TEST_F(RegisterExchange, AfterAShortReplyEveryReadGetsItsOwnValue) {
  SetFault([](sim::CameraFaults& f) { f.shortReplyBytes = 10; });
  ULONG value = 0xBEEF;
  EXPECT_FALSE(ReadSensorRegister(ctx_, 0x00, &value));
  EXPECT_EQ(value, 0xBEEFu) << "a failed read leaves the value alone";
  ClearFaults();
  ExpectEveryReadPaired();
  EXPECT_EQ(Camera().PendingReplies(), 0u);
}

// The bus fails the transfer before the camera hands over its packet, so the
// answer is still waiting in the camera; on the real stack the failed
// transfer also halts the reply endpoint.
TEST_F(RegisterExchange, AfterAFailedReplyTransferEveryReadGetsItsOwnValue) {
  for (uint64_t failedReply : {0, 1}) {
    SCOPED_TRACE(failedReply == 0 ? "first reply failed" : "second reply failed");
    std::atomic<uint64_t> replies{0};
    system_.Bus().SetInFault([&](uint8_t endpoint, uint64_t) {
      host::UsbBus::InFault fault;
      fault.fail = endpoint == 0x81 && replies++ == failedReply;
      fault.status = USBD_STATUS_STALL_PID;
      return fault;
    });
    ULONG value = 0;
    EXPECT_FALSE(ReadSensorRegister(ctx_, 0x60, &value));
    system_.Bus().SetInFault(nullptr);
    ExpectEveryReadPaired();
  }
}

// The camera still holds the echo and answer of a read whose first reply
// failed (the bus failed the transfer, or the endpoint was halted); the
// answer happens to look exactly like the next read's echo, so only draining
// the pipe after the failure keeps the next read right.
TEST_F(RegisterExchange, RepliesLeftByAFailedReadAreDrained) {
  Camera().SetRegister(0x70, uint16_t(kCommandRegisterRead << 8 | kRegisters[0]));
  for (bool halted : {false, true}) {
    SCOPED_TRACE(halted ? "halted endpoint" : "failed transfer");
    std::atomic<bool> failed{halted};
    system_.Bus().SetInFault([&](uint8_t endpoint, uint64_t) {
      host::UsbBus::InFault fault;
      fault.fail = endpoint == 0x81 && !failed.exchange(true);
      return fault;
    });
    if (halted) SetFault([](sim::CameraFaults& f) { f.stallReplyPipe = true; });
    ULONG value = 0;
    EXPECT_FALSE(ReadSensorRegister(ctx_, 0x70, &value));
    system_.Bus().SetInFault(nullptr);
    ExpectEveryReadPaired();
  }
}

// The camera answers, but only after the driver gave up waiting.
TEST_F(RegisterExchange, ALateReplyIsNotTakenForALaterRead) {
  SetFault([](sim::CameraFaults& f) { f.holdReplies = true; });
  ULONG value = 0;
  EXPECT_FALSE(ReadSensorRegister(ctx_, 0x61, &value));
  ClearFaults();  // the held echo and answer of 0x61 arrive now
  ASSERT_TRUE(ReadSensorRegister(ctx_, 0x62, &value));
  EXPECT_EQ(value, ValueOf(0x62));
  ExpectEveryReadPaired();
  EXPECT_EQ(Camera().PendingReplies(), 0u);
}

// Replies nobody collected (a query whose caller gave up) sit in front of
// the next read's own replies.
TEST_F(RegisterExchange, RepliesOfAnEarlierCommandArePassedOver) {
  UCHAR query[kPacketBytes];
  PreparePacket(query, kCommandHalfClockQuery);
  ASSERT_TRUE(SendCommand(ctx_, query));
  ASSERT_EQ(Camera().PendingReplies(), 2u);
  ExpectEveryReadPaired();
  EXPECT_EQ(Camera().PendingReplies(), 0u);
}

// Mirrors and trigger read the register they change: a read shifted by a
// bad reply would write another register's bits into them.
TEST_F(RegisterExchange, ReadModifyWriteAfterABadReplyKeepsTheOtherBits) {
  Camera().SetRegister(0x20, 0x0040);
  Camera().SetRegister(0x1E, 0x0081);
  SetFault([](sim::CameraFaults& f) { f.shortReplyBytes = 10; });
  ULONG value = 0;
  EXPECT_FALSE(ReadSensorRegister(ctx_, 0x60, &value));
  ClearFaults();
  EXPECT_TRUE(SetFlipH(ctx_, 1));
  EXPECT_EQ(Camera().Register(0x20), 0x4040);
  EXPECT_TRUE(SetExTrigger(ctx_, true));
  EXPECT_EQ(Camera().Register(0x1E), 0x0381);
  EXPECT_TRUE(SetFlipV(ctx_, 1));
  EXPECT_EQ(Camera().Register(0x20), 0xC040);

  SetFault([](sim::CameraFaults& f) { f.holdReplies = true; });
  EXPECT_FALSE(SetFlipH(ctx_, 0));
  EXPECT_EQ(ctx_->flipH, 1) << "a read that timed out changes nothing";
  ClearFaults();
  EXPECT_TRUE(SetExTrigger(ctx_, false));
  EXPECT_EQ(Camera().Register(0x1E), 0x0081);
  EXPECT_TRUE(SetFlipH(ctx_, 0));
  EXPECT_EQ(Camera().Register(0x20), 0x8040);
}

// Reads from several threads while the bus fails some reply transfers: a
// read may fail, but one that succeeds has its own register's value.
TEST_F(RegisterExchange, ConcurrentReadsThroughFailingRepliesStayPaired) {
  std::atomic<uint64_t> replies{0};
  system_.Bus().SetInFault([&](uint8_t endpoint, uint64_t) {
    host::UsbBus::InFault fault;
    fault.fail = endpoint == 0x81 && replies++ % 7 == 3;
    return fault;
  });
  std::atomic<int> wrong{0};
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (UCHAR reg : kRegisters)
    threads.emplace_back([&, reg] {
      for (int i = 0; i < 40; ++i) {
        ULONG value = 0;
        if (!ReadSensorRegister(ctx_, reg, &value)) continue;
        ++good;
        if (value != ValueOf(reg)) ++wrong;
      }
    });
  for (auto& thread : threads) thread.join();
  system_.Bus().SetInFault(nullptr);
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(good, 80);
  ExpectEveryReadPaired();
}

// The trigger's read succeeds and its write is refused: the caller hears of
// it and the sensor keeps its bits; the requested mode is remembered, so the
// next ApplySettings writes it.
TEST_F(RegisterExchange, ATriggerWriteRefusedAfterItsReadIsReported) {
  Camera().SetRegister(0x1E, 0x0081);
  Camera().ClearCommands();
  system_.Bus().SetSubmitFault([](const URB& urb, uint8_t endpoint) {
    const UCHAR* packet = kscam_test::CommandPacketOf(urb, endpoint);
    return packet != nullptr && packet[0] == kCommandRegisterWrite;
  });
  EXPECT_FALSE(SetExTrigger(ctx_, true));
  system_.Bus().SetSubmitFault(nullptr);
  EXPECT_EQ(Camera().Commands(), std::vector<std::vector<uint8_t>>{Packet({kCommandRegisterRead, 0x1E})});
  EXPECT_EQ(Camera().Register(0x1E), 0x0081);
  EXPECT_EQ(ctx_->exTrigger, 1);
  static_cast<CameraObject*>(ctx_)->ApplySettings();
  EXPECT_EQ(Camera().Register(0x1E), 0x0381);
}

// A bus driver below that completes every request with success but reports
// a USB error in the request block.
class UrbErrorBelow {
 public:
  explicit UrbErrorBelow(DeviceContext* ctx) : ctx_(ctx), saved_(ctx->usb.lowerDeviceObject) {
    driver_.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    device_.DriverObject = &driver_;
    device_.StackSize = saved_->StackSize;
    ctx->usb.lowerDeviceObject = &device_;
  }
  ~UrbErrorBelow() { ctx_->usb.lowerDeviceObject = saved_; }

 private:
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
    auto* urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_STALL_PID;  // the transfer length stays as asked
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }

  DeviceContext* ctx_;
  PDEVICE_OBJECT saved_;
  DRIVER_OBJECT driver_{};
  DEVICE_OBJECT device_{};
};

TEST_F(RegisterExchange, AUsbErrorUnderASuccessfulRequestIsAFailure) {
  UrbErrorBelow below(ctx_);
  UCHAR packet[kPacketBytes] = {kCommandStartUp};
  ULONG transferred = 99;
  EXPECT_EQ(PipeExchange(ctx_, kCommandPipe, packet, &transferred), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(transferred, 0u);
  EXPECT_EQ(PipeExchange(ctx_, kReplyPipe, packet, &transferred), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(WriteSensorRegister(ctx_, 0x35, 5));
  ULONG value = 0xBEEF;
  EXPECT_FALSE(ReadSensorRegister(ctx_, 0x60, &value));
  EXPECT_EQ(value, 0xBEEFu);
}

// --- The exchange bound ---------------------------------------------------

// A camera that takes commands but never answers: with the frame time limit
// raised to a minute, every exchange still ends within its own bound.
TEST_F(RegisterExchange, ExchangesKeepTheirOwnBoundWhenTheFrameLimitIsRaised) {
  FrameTimeLimit limit(60000);
  SetFault([](sim::CameraFaults& f) { f.noReplies = true; });
  auto start = std::chrono::steady_clock::now();
  UCHAR packet[kPacketBytes] = {};
  ULONG transferred = 99;
  EXPECT_EQ(PipeExchange(ctx_, kReplyPipe, packet, &transferred), STATUS_IO_TIMEOUT);
  EXPECT_EQ(transferred, 0u);
  ULONG value = 0xBEEF;
  EXPECT_EQ(ExchangeRegisterRead(ctx_, 0x60, &value), STATUS_IO_TIMEOUT);
  EXPECT_EQ(value, 0xBEEFu);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s) << "the exchanges waited for the frame limit";
  EXPECT_EQ(system_.Bus().PendingInTransfers(), 0u) << "a timed-out reply request was left queued";
  ClearFaults();
  ExpectEveryReadPaired();
}

// Start with a camera that stopped answering: the sensor set-up ends at the
// first exchange that timed out instead of waiting out every register, and
// Start still reports the configuration's status.
TEST(RegisterExchangeStart, ASilentCameraEndsTheSensorSetUpAtTheFirstTimeOut) {
  FrameTimeLimit limit(60000);
  CameraSystem system;
  ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(system.AddDevice(), STATUS_SUCCESS);
  sim::CameraFaults silent;
  silent.noReplies = true;
  system.Camera()->SetFaults(silent);
  system.Camera()->ClearCommands();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(system.StartDevice(), STATUS_SUCCESS);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
  std::vector<std::vector<uint8_t>> expected = {Packet({kCommandStartUp}), Packet({kCommandRegisterWrite, 0x0D}),
                                                Packet({kCommandRegisterRead, 0x00})};
  EXPECT_EQ(system.Camera()->Commands(), expected) << "the set-up went on after the chip identity timed out";

  DeviceContext* ctx = system.Context();
  EXPECT_EQ(InitSensor(ctx), STATUS_IO_TIMEOUT);
  system.Camera()->SetFaults(sim::CameraFaults());
  EXPECT_EQ(InitSensor(ctx), STATUS_SUCCESS);
  EXPECT_EQ(system.Camera()->Register(0x20), 0x8040) << "the set-up ran to its end";
}

}  // namespace

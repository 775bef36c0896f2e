// Command and reply packets and sensor-register access, byte for byte, with
// a camera that misbehaves and with register traffic from several threads.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "camera/sensor.h"
#include "platform/host_pool.h"
#include "support/exchange_helpers.h"
#include "support/pool_buffer.h"
#include "support/scripted_device.h"
#include "tools/client/camera_system.h"
#include "usb/command_packets.h"

namespace {

using kscam::CameraSystem;
using kscam_test::Packet;


class CommandPackets : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(system_.BringUp(), STATUS_SUCCESS);
    ctx_ = system_.Context();
    system_.Camera()->ClearCommands();
    system_.Bus().ClearLog();
  }
  sim::SimulatedCamera& Camera() { return *system_.Camera(); }

  CameraSystem system_;
  DeviceContext* ctx_ = nullptr;
};

TEST_F(CommandPackets, RegisterWriteIsOnePacketOfFourDefinedBytes) {
  ASSERT_TRUE(WriteSensorRegister(ctx_, 0x35, 63));
  auto commands = Camera().Commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0], Packet({0x04, 0x35, 0x00, 0x3F}));
  EXPECT_EQ(Camera().Register(0x35), 63);
}

TEST_F(CommandPackets, RegisterReadSendsOneCommandAndTakesBothReplies) {
  Camera().SetRegister(0x40, 0x1801);
  ULONG value = 0;
  ASSERT_TRUE(ReadSensorRegister(ctx_, 0x40, &value));
  EXPECT_EQ(value, 0x1801u);
  auto commands = Camera().Commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0], Packet({0x0C, 0x40}));
  EXPECT_EQ(Camera().PendingReplies(), 0u);
  size_t replyTransfers = 0;
  for (const auto& entry : system_.Bus().Log()) replyTransfers += entry.endpointAddress == 0x81;
  EXPECT_EQ(replyTransfers, 2u);
}

// The camera stalls its command endpoint once: the command fails and changes
// nothing, and the driver's reset of the halted pipe lets the next commands,
// and the frame path's halt and go, through again.
TEST_F(CommandPackets, AStallOnTheCommandPipeFailsOneCommandAndThePipeIsReset) {
  Camera().SetRegister(0x35, 14);
  sim::CameraFaults faults;
  faults.stallCommandPipe = true;
  Camera().SetFaults(faults);
  EXPECT_FALSE(WriteSensorRegister(ctx_, 0x35, 1));
  EXPECT_EQ(Camera().Register(0x35), 14);
  EXPECT_FALSE(system_.Bus().EndpointHalted(0x01));
  EXPECT_TRUE(WriteSensorRegister(ctx_, 0x35, 2));
  ULONG value = 0;
  EXPECT_TRUE(ReadSensorRegister(ctx_, 0x35, &value));
  EXPECT_EQ(value, 2u);

  SetGeometry(ctx_, 0, 0, 64, 32, 0);
  static_cast<CameraObject*>(ctx_)->ApplySettings();
  Camera().SetFaults(faults);  // this time the frame halt meets the stall
  kscam_test::PoolBuffer frame(ctx_->frameBytes);
  BOOLEAN good = FALSE;
  static_cast<CameraObject*>(ctx_)->ReadFrame(frame.data(), ULONG(frame.size()), &good);
  EXPECT_EQ(static_cast<CameraObject*>(ctx_)->ReadFrame(frame.data(), ULONG(frame.size()), &good), STATUS_SUCCESS);
  EXPECT_TRUE(good);
  EXPECT_FALSE(system_.Bus().EndpointHalted(0x01));
}

TEST_F(CommandPackets, ExchangesNeedAConfiguredUsablePipe) {
  UCHAR packet[64] = {};
  ULONG transferred = 0;
  EXPECT_EQ(PipeExchange(ctx_, 3, packet, &transferred), STATUS_INVALID_PARAMETER);
  system_.StopDevice();
  EXPECT_EQ(PipeExchange(ctx_, kCommandPipe, packet, &transferred), STATUS_UNSUCCESSFUL);
}

TEST(CommandPacketsTwoPipes, PipeTwoIsRefusedWhilePipesZeroAndOneWork) {
  auto device = std::make_unique<test::ScriptedDevice>();
  device->configuration = test::Configuration(
      {{0, {{0x01, USB_ENDPOINT_TYPE_BULK}, {0x81, USB_ENDPOINT_TYPE_BULK}}}});
  test::ScriptedDevice* scripted = device.get();
  CameraSystem system(std::move(device));
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  DeviceContext* ctx = system.Context();
  scripted->SetRegister(0x00, 0x1800);
  ULONG value = 0;
  EXPECT_TRUE(ReadSensorRegister(ctx, 0x00, &value));
  EXPECT_EQ(value, 0x1800u);
  UCHAR packet[64] = {};
  ULONG transferred = 0;
  EXPECT_EQ(PipeExchange(ctx, kFramePipe, packet, &transferred), STATUS_INVALID_PARAMETER);
  BOOLEAN good = TRUE;
  kscam_test::PoolBuffer frame(1024);
  ctx->frameBytes = ULONG(frame.size());
  EXPECT_EQ(static_cast<CameraObject*>(ctx)->ReadFrame(frame.data(), ULONG(frame.size()), &good), STATUS_INVALID_PARAMETER);
  EXPECT_FALSE(good);
}

TEST(CommandPacketsBadPipes, ControlOrShortPipesAreRefused) {
  auto device = std::make_unique<test::ScriptedDevice>();
  device->configuration = test::Configuration({{0,
                                                {{0x01, USB_ENDPOINT_TYPE_BULK},
                                                 {0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS},
                                                 {0x82, USB_ENDPOINT_TYPE_BULK}}}});
  CameraSystem system(std::move(device));
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  DeviceContext* ctx = system.Context();
  UCHAR packet[64] = {};
  ULONG transferred = 0;
  EXPECT_EQ(PipeExchange(ctx, kReplyPipe, packet, &transferred), STATUS_INVALID_PARAMETER);
  ctx->usb.interfaceInfo->Pipes[0].MaximumTransferSize = 32;
  EXPECT_EQ(PipeExchange(ctx, kCommandPipe, packet, &transferred), STATUS_INVALID_PARAMETER);
  ctx->usb.interfaceInfo->Pipes[0].PipeHandle = nullptr;
  EXPECT_EQ(PipeExchange(ctx, kCommandPipe, packet, &transferred), STATUS_UNSUCCESSFUL);
}

TEST_F(CommandPackets, ExchangeAllocationFailuresAreReported) {
  UCHAR packet[64] = {kCommandStartUp};
  ULONG transferred = 0;
  host::FailAllocationsWithTag("Vdrv");
  EXPECT_EQ(PipeExchange(ctx_, kCommandPipe, packet, &transferred), STATUS_INSUFFICIENT_RESOURCES);
  host::ClearPoolFaults();
  host::FailAllocationsWithTag("!Irp");
  EXPECT_EQ(PipeExchange(ctx_, kCommandPipe, packet, &transferred), STATUS_INSUFFICIENT_RESOURCES);
  host::ClearPoolFaults();
  EXPECT_EQ(PipeExchange(ctx_, kCommandPipe, packet, &transferred), STATUS_SUCCESS);
  EXPECT_EQ(transferred, 64u);
}

// Property requests, start-up and clock changes share the command packet and
// the untagged reply pipe: every read must get its own register's value.
TEST_F(CommandPackets, ConcurrentRegisterTrafficNeverMixesReplies) {
  constexpr int kThreads = 4;
  constexpr int kReads = 150;
  for (int t = 0; t < kThreads; ++t) Camera().SetRegister(UCHAR(0x60 + t), uint16_t(0x1000 * (t + 1) + t));
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kReads; ++i) {
        ULONG value = 0;
        if (!ReadSensorRegister(ctx_, UCHAR(0x60 + t), &value) || value != ULONG(0x1000 * (t + 1) + t)) ++wrong[t];
      }
    });
  threads.emplace_back([&] {
    for (int i = 0; i < 10; ++i) {
      SetHalfClock(ctx_, i & 1);
      SetExposure(ctx_, ULONG(100 + i));
    }
  });
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(wrong[t], 0) << "thread " << t;
  EXPECT_EQ(Camera().PendingReplies(), 0u);
}

}  // namespace

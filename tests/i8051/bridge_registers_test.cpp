// The bridge's register block, from the firmware's side (external data
// reads and writes) and from the USB core's side.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/i8051/bridge_registers.h"

namespace {

using namespace sim::i8051;
using namespace sim::i8051::bridge;

struct FakeHardware : BridgeHardware {
  bool I2cWrite(uint8_t device, uint8_t number, uint16_t value) override {
    log.push_back("w " + std::to_string(device) + " " + std::to_string(number) + " " + std::to_string(value));
    return device == 0x36;
  }
  bool I2cRead(uint8_t device, uint8_t number, uint16_t& value) override {
    log.push_back("r " + std::to_string(device) + " " + std::to_string(number));
    value = 0x1801;
    return device == 0x36;
  }
  void FrameGo(std::optional<uint32_t> bytes) override {
    log.push_back(bytes ? "go " + std::to_string(*bytes) : "go sensor");
  }
  void FrameHalt() override { log.push_back("halt"); }
  void SetHalfClock(bool on) override { log.push_back(on ? "half" : "full"); }
  void ReEnumerate(uint16_t vendorId, uint16_t productId, uint16_t release) override {
    log.push_back("id " + std::to_string(vendorId) + " " + std::to_string(productId) + " " + std::to_string(release));
  }
  std::vector<std::string> log;
};

class BridgeRegistersTest : public ::testing::Test {
 protected:
  void Write(uint16_t address, uint8_t value) { block.WriteExternal(address, value); }
  uint8_t Read(uint16_t address) { return block.ReadExternal(address); }

  FakeHardware hardware;
  BridgeRegisters block{hardware};
};

TEST_F(BridgeRegistersTest, CommandBufferHoldsOnePacketUntilTheFirmwareHandsItBack) {
  uint8_t packet[64] = {0x04, 0x35, 0x00, 0x3F};
  EXPECT_FALSE(block.OfferCommand(packet, 0));
  EXPECT_FALSE(block.OfferCommand(packet, 65));
  ASSERT_TRUE(block.OfferCommand(packet, 64));
  EXPECT_EQ(Read(kCommandCount), 64);
  EXPECT_EQ(Read(kCommandBuffer + 1), 0x35);
  EXPECT_EQ(Read(kCommandBuffer + 63), 0x00);
  EXPECT_FALSE(block.OfferCommand(packet, 64));  // still full
  Write(kCommandBuffer, 0x99);                   // the firmware cannot write it
  EXPECT_EQ(Read(kCommandBuffer), 0x04);
  Write(kCommandCount, 0x55);  // any write hands it back
  EXPECT_EQ(Read(kCommandCount), 0);
  uint8_t shorter[3] = {0x0C, 0x00, 0x07};
  ASSERT_TRUE(block.OfferCommand(shorter, 3));
  EXPECT_EQ(Read(kCommandCount), 3);
  EXPECT_EQ(Read(kCommandBuffer + 3), 0x00);  // the rest of the old packet is gone
}

TEST_F(BridgeRegistersTest, ReplyQueueKeepsOrderAndReportsFullAtItsDepth) {
  for (int k = 0; k < 5; ++k) {
    Write(kReplyBuffer, static_cast<uint8_t>(k));
    Write(kReplyBuffer + 63, static_cast<uint8_t>(0x80 + k));
    EXPECT_EQ(Read(kReplyStatus), k >= 4 ? 1 : 0);
    Write(kReplyCount, 64);
  }
  Write(kReplyCount, 0);   // no packet
  Write(kReplyCount, 65);  // past the buffer: no packet
  EXPECT_EQ(block.PendingReplies(), kReplyQueueDepth);
  BridgePacket packet;
  uint32_t length = 0;
  for (int k = 0; k < 4; ++k) {
    ASSERT_TRUE(block.TakeReply(packet, length));
    EXPECT_EQ(packet[0], k);
    EXPECT_EQ(packet[63], 0x80 + k);
    EXPECT_EQ(length, 64u);
  }
  EXPECT_FALSE(block.TakeReply(packet, length));
  Write(kReplyCount, 2);
  ASSERT_TRUE(block.TakeReply(packet, length));
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(Read(kReplyStatus), 0);
}

TEST_F(BridgeRegistersTest, FrameControlClockAndIdentityReachTheHardware) {
  Write(kFrameControl, kFrameGo);  // no size written yet
  Write(kFrameSize + 0, 0x00);
  Write(kFrameSize + 1, 0x4C);
  Write(kFrameSize + 2, 0x5D);
  Write(kFrameSize + 3, 0x00);
  Write(kFrameControl, kFrameGo);
  Write(kFrameControl, kFrameHalt);
  Write(kFrameControl, 3);  // neither
  Write(kFrameSize + 3, 0xFF);
  Write(kFrameControl, kFrameGo);
  Write(kClock, 1);
  Write(kClock, 0);
  const uint8_t identity[6] = {0x34, 0x12, 0x78, 0x56, 0x01, 0x00};
  for (int k = 0; k < 6; ++k) Write(kIdentity + k, identity[k]);
  Write(kUsbConnect, 0);  // not a connect
  Write(kUsbConnect, 1);
  EXPECT_EQ(hardware.log, (std::vector<std::string>{"go sensor", "go 6114304", "halt", "go 4284304384", "half", "full",
                                                    "id 4660 22136 1"}));
  EXPECT_EQ(Read(kFrameControl), 0);
  EXPECT_EQ(Read(kCpuControl), 0);
}

TEST_F(BridgeRegistersTest, I2cTransactionsReportDoneAndMissingAcknowledge) {
  EXPECT_EQ(Read(kI2cControl), 0);
  Write(kI2cDevice, 0x36 | 0x80);  // the top bit is not part of a 7-bit address
  Write(kI2cRegister, 0x35);
  Write(kI2cDataHigh, 0x01);
  Write(kI2cDataLow, 0x02);
  Write(kI2cControl, kI2cWrite);
  EXPECT_EQ(Read(kI2cControl), kI2cDone);
  Write(kI2cControl, kI2cRead);
  EXPECT_EQ(Read(kI2cControl), kI2cDone);
  EXPECT_EQ(Read(kI2cDataHigh), 0x18);
  EXPECT_EQ(Read(kI2cDataLow), 0x01);
  Write(kI2cDevice, 0x37);  // nobody there
  Write(kI2cControl, kI2cRead);
  EXPECT_EQ(Read(kI2cControl), kI2cDone | kI2cNoAcknowledge);
  EXPECT_EQ(Read(kI2cDataHigh), 0xFF);
  EXPECT_EQ(Read(kI2cDataLow), 0xFF);
  Write(kI2cControl, 7);  // not a transaction: nothing runs, the status stays
  EXPECT_EQ(Read(kI2cControl), kI2cDone | kI2cNoAcknowledge);
  EXPECT_EQ(hardware.log, (std::vector<std::string>{"w 54 53 258", "r 54 53", "r 55 53"}));
}

TEST_F(BridgeRegistersTest, ResetEmptiesBuffersAndQueue) {
  uint8_t packet[64] = {0x02};
  block.OfferCommand(packet, 64);
  Write(kReplyCount, 64);
  Write(kI2cControl, kI2cWrite);
  Write(kFrameSize, 5);
  block.Reset();
  EXPECT_EQ(block.FrameSize(), std::nullopt);
  EXPECT_FALSE(block.CommandBufferFull());
  EXPECT_EQ(block.PendingReplies(), 0u);
  EXPECT_EQ(Read(kI2cControl), 0);
  EXPECT_EQ(Read(kI2cRegister), 0);
}

TEST_F(BridgeRegistersTest, TheCoreReachesTheBlockThroughMovxAndNothingElseDoes) {
  std::vector<uint8_t> code(Core::kSpaceBytes), external(Core::kSpaceBytes);
  Core core(code.data(), external.data(), &block);
  block.Connect(core);
  uint8_t packet[64] = {0x0C, 0x00};
  block.OfferCommand(packet, 64);
  // MOV DPTR,#E610h; MOVX A,@DPTR (64); MOV DPTR,#E7C0h; MOVX A,@DPTR (unassigned: FFh)
  // MOV R0,A; MOV DPTR,#E5FFh; MOVX @DPTR,A (plain memory)
  const uint8_t program[] = {0x90, 0xE6, 0x10, 0xE0, 0xFF, 0x90, 0xE7, 0xC0, 0xE0, 0xF8, 0x90, 0xE5, 0xFF, 0xF0};
  std::copy(std::begin(program), std::end(program), code.begin());
  core.RunUntil(sizeof program, 100);
  EXPECT_EQ(core.Register(7), 64);
  EXPECT_EQ(core.Register(0), 0xFF);
  EXPECT_EQ(external[0xE5FF], 0xFF);
}

}  // namespace

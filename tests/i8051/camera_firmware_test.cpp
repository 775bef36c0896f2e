// The camera firmware, as SDCC built it, running on the core against the
// register block and the simulated sensor: every exchange of the command
// table, bad input, and firmware that cannot run.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "sim/bridge_processor.h"
#include "sim/i8051/intel_hex.h"
#include "sim/usb_identity.h"

namespace {

using sim::i8051::BridgePacket;

BridgePacket Packet(std::initializer_list<uint8_t> bytes) {
  BridgePacket packet{};
  size_t at = 0;
  for (uint8_t byte : bytes) packet[at++] = byte;
  return packet;
}

class CameraFirmwareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::string(KSCAM_CAMERA_FIRMWARE_HEX).empty()) GTEST_SKIP() << "sdcc is not installed: no camera firmware";
    ASSERT_TRUE(sim::i8051::LoadIntelHex(KSCAM_CAMERA_FIRMWARE_HEX, bridge.Memory()));
  }
  void Start() {
    bridge.SetReset(false);
    ASSERT_FALSE(bridge.Hung());
  }
  bool Send(std::initializer_list<uint8_t> bytes) {
    BridgePacket packet = Packet(bytes);
    return bridge.Command(packet.data(), 64);
  }
  std::vector<BridgePacket> Replies() {
    std::vector<BridgePacket> replies;
    BridgePacket packet;
    uint32_t length = 0;
    while (bridge.TakeReply(packet, length)) {
      EXPECT_EQ(length, 64u);
      replies.push_back(packet);
    }
    return replies;
  }

  sim::Sensor sensor{sim::SensorChip::Rev1801Short};
  sim::BridgeProcessor bridge{sensor};
};

TEST_F(CameraFirmwareTest, StartsAndReEnumeratesWithTheCameraIdentity) {
  EXPECT_FALSE(Send({0x04, 0x35, 0x00, 0x01}));  // held in reset: refused
  Start();
  const sim::BridgeEvents& events = bridge.Events();
  EXPECT_EQ(events.reEnumerations, 1u);
  EXPECT_EQ(events.vendorId, sim::kCameraVendorId);
  EXPECT_EQ(events.productId, sim::kCameraProductId);
  EXPECT_EQ(events.release, sim::kCameraRelease);
  EXPECT_FALSE(events.halfClock);
  // A reset cycle starts it again.
  bridge.SetReset(true);
  EXPECT_FALSE(Send({0x02}));
  bridge.SetReset(false);
  EXPECT_EQ(events.reEnumerations, 2u);
  EXPECT_TRUE(Send({0x02}));
}

TEST_F(CameraFirmwareTest, RegisterWriteAndReadGoThroughTheI2cController) {
  Start();
  ASSERT_TRUE(Send({0x04, 0x35, 0x00, 0x3F}));
  EXPECT_EQ(sensor.Read(0x35), 63);
  EXPECT_TRUE(Replies().empty());
  ASSERT_TRUE(Send({0x04, 0x09, 0xAB, 0xCD}));
  EXPECT_EQ(sensor.Read(0x09), 0xABCD);

  ASSERT_TRUE(Send({0x0C, 0x00}));
  std::vector<BridgePacket> replies = Replies();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0], Packet({0x0C, 0x00}));  // the echo
  EXPECT_EQ(replies[1], Packet({0x18, 0x01}));  // the chip identification, high byte first
  ASSERT_TRUE(Send({0x0C, 0x09}));
  replies = Replies();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[1], Packet({0xAB, 0xCD}));
}

TEST_F(CameraFirmwareTest, FrameSizeGoAndHaltReachTheFramePath) {
  Start();
  ASSERT_TRUE(Send({0x03}));  // go before any frame size: the sensor's own size
  EXPECT_EQ(bridge.Events().lastFrameSize, std::nullopt);
  ASSERT_TRUE(Send({0x0A, 0x00}));
  ASSERT_TRUE(Send({0x09, 0x00, 0x4C, 0x5D, 0x00}));
  ASSERT_TRUE(Send({0x02}));
  ASSERT_TRUE(Send({0x03}));
  EXPECT_EQ(bridge.Events().goes, 2u);
  EXPECT_EQ(bridge.Events().halts, 1u);
  EXPECT_EQ(bridge.Events().lastFrameSize, 6114304u);
  ASSERT_TRUE(Send({0x09, 0xFF, 0xFF, 0xFF, 0xFF}));
  ASSERT_TRUE(Send({0x03}));
  EXPECT_EQ(bridge.Events().lastFrameSize, 0xFFFFFFFFu);
  EXPECT_TRUE(Replies().empty());
}

TEST_F(CameraFirmwareTest, HalfClockSwitchesAndAnswersItsQuery) {
  Start();
  for (uint8_t on : {1, 0, 5}) {
    ASSERT_TRUE(Send({0x23, on}));
    EXPECT_EQ(bridge.Events().halfClock, on != 0);
    ASSERT_TRUE(Send({0x24}));
    std::vector<BridgePacket> replies = Replies();
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0], Packet({0x24}));
    EXPECT_EQ(replies[1], Packet({static_cast<uint8_t>(on ? 1 : 0)}));
  }
}

TEST_F(CameraFirmwareTest, BadInputIsIgnoredAndTheLoopCarriesOn) {
  Start();
  const uint16_t gain = sensor.Read(0x35);
  for (uint8_t code : {0x00, 0x06, 0x20, 0x77, 0xFF}) ASSERT_TRUE(Send({code, 0x03, 0x50}));
  uint8_t shortWrite[63] = {0x04, 0x35, 0x00, 0x22};
  ASSERT_TRUE(bridge.Command(shortWrite, sizeof shortWrite));  // taken, handed back, not executed
  EXPECT_EQ(sensor.Read(0x35), gain);
  EXPECT_FALSE(bridge.Command(shortWrite, 65));  // longer than the buffer: the USB core refuses it
  EXPECT_TRUE(Replies().empty());
  const sim::BridgeEvents& events = bridge.Events();
  EXPECT_EQ(events.goes + events.halts, 0u);
  // Register 0xEE has no meaning in the sensor, but reads like any other.
  sensor.Force(0xEE, 0x1234);
  ASSERT_TRUE(Send({0x0C, 0xEE}));
  std::vector<BridgePacket> replies = Replies();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[1], Packet({0x12, 0x34}));
  EXPECT_FALSE(bridge.Hung());
}

TEST_F(CameraFirmwareTest, UncollectedRepliesAreDroppedRatherThanStallingTheLoop) {
  Start();
  for (int k = 0; k < 3; ++k) ASSERT_TRUE(Send({0x0C, 0x00}));
  EXPECT_EQ(bridge.PendingReplies(), sim::i8051::bridge::kReplyQueueDepth);
  ASSERT_TRUE(Send({0x04, 0x35, 0x00, 0x07}));
  EXPECT_EQ(sensor.Read(0x35), 7);
  bridge.DropReplies();
  ASSERT_TRUE(Send({0x24}));
  EXPECT_EQ(Replies().size(), 2u);
}

TEST_F(CameraFirmwareTest, CorruptFirmwareNeverReEnumeratesAndRefusesCommands) {
  bridge.Memory()[0] = 0xA5;  // the reset vector's jump becomes the undefined opcode
  bridge.SetReset(false);
  EXPECT_TRUE(bridge.Hung());
  EXPECT_EQ(bridge.Events().reEnumerations, 0u);
  EXPECT_FALSE(Send({0x02}));
  // A program that spins without polling counts as hung too, after its budget.
  bridge.SetReset(true);
  const uint8_t spin[] = {0x80, 0xFE};  // SJMP $
  std::copy(std::begin(spin), std::end(spin), bridge.Memory());
  bridge.SetReset(false);
  EXPECT_TRUE(bridge.Hung());
  EXPECT_FALSE(Send({0x02}));
}

}  // namespace

// The simulated camera with its firmware running on the bridge's 8051: the
// download through the bridge's load request starts it, and a damaged
// download never leaves the bridge stuck.
#include <gtest/gtest.h>

#include <vector>

#include "sim/firmware_command_loop.h"
#include "sim/simulated_camera.h"
#include "sim/usb_identity.h"

namespace {

constexpr uint16_t kResetRegister = 0xE600;

class FirmwareOn8051 : public ::testing::Test {
 protected:
  void SetUp() override {
    image = sim::BuiltCameraFirmware();
    if (image.empty()) GTEST_SKIP() << "sdcc is not installed: no camera firmware";
    options.bridge = sim::BridgeModel::Firmware;
    options.firmwareRunning = false;
  }
  static void Reset(sim::SimulatedCamera& camera, uint8_t hold) {
    ASSERT_EQ(camera.VendorRequest(false, 0xA0, kResetRegister, 0, &hold, 1).status, USBD_STATUS_SUCCESS);
  }
  // Holds the processor, loads `bytes` in 16-byte records, releases it.
  static void Download(sim::SimulatedCamera& camera, std::vector<uint8_t> bytes) {
    Reset(camera, 1);
    for (size_t at = 0; at < bytes.size(); at += 16) {
      uint32_t length = uint32_t(std::min<size_t>(16, bytes.size() - at));
      ASSERT_EQ(camera.VendorRequest(false, 0xA0, uint16_t(at), 0, bytes.data() + at, length).status,
                USBD_STATUS_SUCCESS);
    }
    Reset(camera, 0);
  }
  static bool ReadChipId(sim::SimulatedCamera& camera, uint16_t& value) {
    uint8_t packet[64] = {0x0C, 0x00};
    if (camera.BulkOut(sim::kCommandEndpoint, packet, 64).status != USBD_STATUS_SUCCESS) return false;
    for (int k = 0; k < 2; ++k) {
      host::UsbInResult in = camera.BulkIn(sim::kReplyEndpoint, packet, 64);
      if (in.status != USBD_STATUS_SUCCESS || in.bytes != 64) return false;
    }
    value = uint16_t(packet[0] << 8 | packet[1]);
    return true;
  }

  std::vector<uint8_t> image;
  sim::CameraOptions options;
};

TEST_F(FirmwareOn8051, DownloadedFirmwareRunsReEnumeratesAndAnswers) {
  sim::SimulatedCamera camera(options);
  EXPECT_FALSE(camera.FirmwareRunning());
  uint16_t value = 0;
  EXPECT_FALSE(ReadChipId(camera, value));  // nothing runs: the command endpoint stalls
  Download(camera, image);
  EXPECT_TRUE(camera.FirmwareRunning());
  EXPECT_EQ(camera.ReEnumerations(), 1u);
  ASSERT_TRUE(ReadChipId(camera, value));
  EXPECT_EQ(value, 0x1800);
  // Held in reset the firmware stops; released again it starts over.
  Reset(camera, 1);
  EXPECT_FALSE(camera.FirmwareRunning());
  EXPECT_TRUE(camera.CpuHeldInReset());
  Reset(camera, 0);
  EXPECT_TRUE(camera.FirmwareRunning());
  EXPECT_EQ(camera.ReEnumerations(), 2u);
}

TEST_F(FirmwareOn8051, ABrokenResetVectorNeverReEnumerates) {
  sim::SimulatedCamera camera(options);
  std::vector<uint8_t> broken = image;
  broken[0] ^= 0xA7;  // the reset vector's jump becomes the undefined opcode
  Download(camera, broken);
  EXPECT_FALSE(camera.FirmwareRunning());
  EXPECT_EQ(camera.ReEnumerations(), 0u);
  uint16_t value = 0;
  EXPECT_FALSE(ReadChipId(camera, value));
  // A good download afterwards recovers the camera.
  Download(camera, image);
  EXPECT_TRUE(ReadChipId(camera, value));
}

// Whatever byte a download damages, every request returns, and a camera that
// did not come up refuses commands rather than hanging.
TEST_F(FirmwareOn8051, EveryDamagedByteLeavesADefinedCamera) {
  int down = 0;
  for (size_t at = 0; at < image.size(); at += 37) {
    sim::SimulatedCamera camera(options);
    std::vector<uint8_t> broken = image;
    broken[at] ^= 0x5A;
    Download(camera, broken);
    bool up = camera.FirmwareRunning();
    uint16_t value = 0;
    bool answered = ReadChipId(camera, value);
    if (!up) {
      EXPECT_FALSE(answered) << "byte " << at;
      ++down;
    }
  }
  EXPECT_GT(down, 0);
}

TEST_F(FirmwareOn8051, FirmwareThatStopsAfterReEnumeratingStallsCommands) {
  sim::SimulatedCamera camera(options);
  // MOV DPTR,#E646h; MOV A,#1; MOVX @DPTR,A (re-enumerate); SJMP $
  Download(camera, {0x90, 0xE6, 0x46, 0x74, 0x01, 0xF0, 0x80, 0xFE});
  EXPECT_TRUE(camera.FirmwareRunning());
  uint8_t packet[64] = {0x02};
  EXPECT_EQ(camera.BulkOut(sim::kCommandEndpoint, packet, 64).status, USBD_STATUS_STALL_PID);
}

// The USB core's reply faults apply to the firmware's replies as they do to
// the command model's.
TEST_F(FirmwareOn8051, ReplyFaultsShapeTheFirmwaresAnswers) {
  options.firmwareRunning = true;
  sim::SimulatedCamera camera(options);
  uint8_t packet[64] = {0x0C, 0x00};
  struct Case {
    sim::CameraFaults faults;
    size_t packets;
    uint32_t bytes;
  } cases[] = {{{}, 2, 64}, {{.noReplies = true}, 0, 0}, {{.firstReplyOnly = true}, 1, 64},
               {{.shortReplyBytes = 10}, 2, 10}};
  for (const Case& c : cases) {
    camera.SetFaults(c.faults);
    ASSERT_EQ(camera.BulkOut(sim::kCommandEndpoint, packet, 64).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(camera.PendingReplies(), c.packets);
    uint8_t reply[64];
    for (size_t k = 0; k < c.packets; ++k) EXPECT_EQ(camera.BulkIn(sim::kReplyEndpoint, reply, 64).bytes, c.bytes);
    EXPECT_EQ(camera.PendingReplies(), 0u);
  }
}

TEST_F(FirmwareOn8051, PowersUpRunningTheBuiltFirmware) {
  options.firmwareRunning = true;
  sim::SimulatedCamera camera(options);
  EXPECT_TRUE(camera.FirmwareRunning());
  EXPECT_EQ(camera.ReEnumerations(), 0u);  // it powered up as the camera
  uint16_t value = 0;
  ASSERT_TRUE(ReadChipId(camera, value));
  EXPECT_EQ(value, 0x1800);
}

}  // namespace

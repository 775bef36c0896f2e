// The simulated camera with its firmware running on the bridge's 8051: the
// download through the bridge's load request starts it, and a damaged
// download never leaves the bridge stuck.
#include <gtest/gtest.h>

#include <vector>

#include "sim/firmware_command_loop.h"
#include "sim/i8051/intel_hex.h"
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

// The loader serves external loads on the control endpoint, inside external
// memory only; the camera firmware serves none.
TEST_F(FirmwareOn8051, TheLoaderServesExternalLoadsWithinExternalMemory) {
  std::vector<uint8_t> loader(0x10000);
  uint32_t end = 0;
  ASSERT_TRUE(sim::i8051::LoadIntelHex(std::string(KSCAM_FIRMWARE_BUILD_DIR) + "/loader.hex", loader.data(), &end));
  loader.resize(end);
  sim::SimulatedCamera camera(options);
  auto load = [&](bool toHost, uint8_t request, uint16_t address, std::vector<uint8_t> data) {
    return camera.VendorRequest(toHost, request, address, 0, data.data(), uint32_t(data.size()));
  };
  EXPECT_EQ(load(false, 0xA3, 0x2000, {1}).status, USBD_STATUS_STALL_PID) << "nothing runs yet";
  Download(camera, loader);
  EXPECT_FALSE(camera.FirmwareRunning()) << "the loader keeps the bridge's identity";
  EXPECT_EQ(load(false, 0xA3, 0x1B40, {7, 8}).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(load(false, 0xA3, 0xDFF0, std::vector<uint8_t>(16, 0x11)).status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(load(false, 0xA3, 0x1B3F, {1}).status, USBD_STATUS_STALL_PID) << "internal memory";
  EXPECT_EQ(load(false, 0xA3, 0xDFF8, std::vector<uint8_t>(9, 0x22)).status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(load(false, 0xA3, 0x3000, std::vector<uint8_t>(65, 0x33)).status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(load(false, 0xA5, 0x3000, {1}).status, USBD_STATUS_STALL_PID) << "not a load request";
  std::vector<uint8_t> back(8);
  host::UsbTransferResult read = camera.VendorRequest(true, 0xA3, 0xDFF8, 0, back.data(), 8);
  EXPECT_EQ(read.status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(read.bytes, 8u);
  EXPECT_EQ(back, std::vector<uint8_t>(8, 0x11)) << "the refused load wrote nothing";
  read = camera.VendorRequest(true, 0xA3, 0x1B40, 0, back.data(), 2);
  EXPECT_EQ(std::vector<uint8_t>(back.begin(), back.begin() + 2), (std::vector<uint8_t>{7, 8}));
  Download(camera, image);
  EXPECT_TRUE(camera.FirmwareRunning());
  EXPECT_EQ(load(false, 0xA3, 0x2000, {1}).status, USBD_STATUS_STALL_PID) << "the camera firmware serves none";
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

// The firmware checks its image against the CRC of its identity block before
// it presents the camera: a byte the download damaged anywhere the image
// defines, code the camera may never run included, keeps it off the bus.
TEST_F(FirmwareOn8051, ADamagedByteAnywhereInTheImageKeepsTheCameraOffTheBus) {
  const uint8_t* identity = image.data() + 0x80;
  ASSERT_GE(identity[6], 1);
  ASSERT_LE(identity[6], 4);
  int tried = 0;
  for (int region = 0; region < identity[6]; ++region) {
    const uint8_t* pair = identity + 16 + 4 * region;
    size_t start = pair[0] | pair[1] << 8, length = pair[2] | pair[3] << 8;
    ASSERT_LE(start + length, image.size());
    // Every byte of the short regions and both ends of each, the rest sampled.
    for (size_t at = start; at < start + length; at += (length < 16 || at + 13 >= start + length) ? 1 : 13) {
      sim::SimulatedCamera camera(options);
      std::vector<uint8_t> broken = image;
      broken[at] ^= 0x01;
      Download(camera, broken);
      uint16_t value = 0;
      EXPECT_EQ(camera.ReEnumerations(), 0u) << "byte " << at;
      EXPECT_FALSE(ReadChipId(camera, value)) << "byte " << at;
      ++tried;
    }
  }
  EXPECT_GT(tried, 50);
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

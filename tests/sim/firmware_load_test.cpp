// The bare bridge, its firmware load requests, and the re-enumeration once
// the camera firmware runs.
#include <gtest/gtest.h>

#include <string.h>

#include "sim/bridge_cpu.h"
#include "sim_rig.h"

namespace {

using namespace std::chrono_literals;

// These tests load minimal programs that only identify themselves, so they
// check the command model's bridge, which recognises programs by their
// identity block; firmware_on_8051_test.cpp covers the bridge that runs them.
sim::CameraOptions BareBridge() {
  sim::CameraOptions options;
  options.firmwareRunning = false;
  options.bridge = sim::BridgeModel::CommandModel;
  return options;
}

// A loader (serves external loads) or the camera firmware.
std::vector<uint8_t> Image(bool cameraFirmware) {
  if (cameraFirmware)
    return sim::ComposeProgram({sim::kCameraCommandLoop, sim::kCameraVendorId, sim::kCameraProductId, 0x0100});
  return sim::ComposeProgram({sim::kServesExternalLoad, 0, 0, 1});
}

const std::pair<uint16_t, uint16_t> kBridge{sim::kBridgeVendorId, sim::kBridgeProductId};
const std::pair<uint16_t, uint16_t> kCamera{sim::kCameraVendorId, sim::kCameraProductId};

std::vector<uint8_t> ReadBack(sim::SimulatedCamera& camera, uint8_t request, uint16_t address, uint32_t length) {
  std::vector<uint8_t> data(length);
  host::UsbTransferResult result = camera.VendorRequest(true, request, address, 0, data.data(), length);
  if (!USBD_SUCCESS(result.status)) return {};
  data.resize(result.bytes);
  return data;
}

TEST(SimFirmwareLoad, BareBridgeHoldsItsCpuAndRefusesCommands) {
  SimRig rig(BareBridge());
  EXPECT_TRUE(rig.camera.CpuHeldInReset());
  EXPECT_EQ(rig.probe.Identity(), kBridge);
  EXPECT_EQ(rig.probe.Command({0x0C, 0x00}), USBD_STATUS_STALL_PID);
  EXPECT_EQ(rig.probe.Vendor(0xA3, 0x2000, {1, 2, 3}), USBD_STATUS_STALL_PID) << "no code runs to serve it";
  EXPECT_TRUE(rig.camera.Commands().empty());
}

TEST(SimFirmwareLoad, LoaderThenCameraFirmwareReEnumeratesAsTheCamera) {
  SimRig rig(BareBridge());
  rig.probe.LoadFirmware(Image(false));
  EXPECT_FALSE(rig.camera.CpuHeldInReset());
  EXPECT_EQ(rig.probe.Identity(), kBridge) << "a loader is not the camera firmware";
  EXPECT_EQ(rig.probe.Command({0x06}), USBD_STATUS_STALL_PID);
  EXPECT_EQ(rig.probe.Vendor(0xA3, 0x2000, {1, 2, 3}), USBD_STATUS_SUCCESS) << "served by the running loader";
  EXPECT_EQ(ReadBack(rig.camera, 0xA3, 0x2000, 3), (std::vector<uint8_t>{1, 2, 3}));

  rig.probe.LoadFirmware(Image(true));
  EXPECT_EQ(rig.probe.Identity(), kCamera);
  EXPECT_TRUE(rig.camera.FirmwareRunning());
  EXPECT_EQ(rig.probe.ReadRegister(0x00), 0x1800);
  EXPECT_EQ(ReadBack(rig.camera, 0xA0, 0, 3), (std::vector<uint8_t>{0x02, 0x00, 0xA0}));
}

TEST(SimFirmwareLoad, EitherResetAddressHoldsAndReleasesTheCpu) {
  for (uint16_t address : {sim::kCpuControlAddress, sim::kCpuControlAlias}) {
    SimRig rig;
    EXPECT_EQ(rig.probe.Vendor(0xA0, address, {1}), USBD_STATUS_SUCCESS);
    EXPECT_TRUE(rig.camera.CpuHeldInReset()) << std::hex << address;
    EXPECT_EQ(ReadBack(rig.camera, 0xA0, address, 1), std::vector<uint8_t>{1});
    EXPECT_EQ(rig.probe.Identity(), kBridge) << "the camera firmware stopped";
    EXPECT_EQ(rig.probe.Command({0x06}), USBD_STATUS_STALL_PID);
    EXPECT_EQ(rig.probe.Vendor(0xA0, address, {0}), USBD_STATUS_SUCCESS);
    EXPECT_EQ(rig.probe.Identity(), kCamera) << "the firmware was still in memory";
  }
}

TEST(SimFirmwareLoad, OnlyARunningProgramThatDeclaresItServesExternalLoads) {
  SimRig rig(BareBridge());
  std::vector<uint8_t> unknown = {0x02, 0x00, 0x03, 0x80, 0xFE};  // no identity block
  rig.probe.LoadFirmware(unknown);
  EXPECT_FALSE(rig.camera.CpuHeldInReset());
  EXPECT_EQ(rig.probe.Vendor(0xA3, 0x2000, {1}), USBD_STATUS_STALL_PID) << "a program without identity";
  rig.probe.LoadFirmware(Image(false));
  EXPECT_EQ(rig.probe.Vendor(0xA3, 0x2000, {1}), USBD_STATUS_SUCCESS) << "the loader";
  rig.probe.Vendor(0xA0, 0xE600, {1});
  EXPECT_EQ(rig.probe.Vendor(0xA3, 0x2000, {1}), USBD_STATUS_STALL_PID) << "held in reset";
  rig.probe.LoadFirmware(Image(true));
  EXPECT_EQ(rig.probe.Vendor(0xA3, 0x2000, {1}), USBD_STATUS_STALL_PID) << "the camera firmware has no such request";
}

TEST(SimFirmwareLoad, CorruptOrPartialCameraImageKeepsTheBridgeIdentity) {
  std::vector<uint8_t> good = Image(true);
  std::vector<std::vector<uint8_t>> bad;
  bad.push_back(good);
  bad.back()[0x40] ^= 0x01;  // one bit of code
  bad.push_back(good);
  bad.back().resize(good.size() - 1);  // the last byte never arrived
  bad.push_back(good);
  bad.back()[sim::kIdentityAddress + 6] = 0;  // no checked region
  bad.push_back(good);
  bad.back()[sim::kIdentityAddress + 6] = sim::kMaxCheckedRegions + 1;
  bad.push_back(good);
  // A region past the end of internal memory: never read, however the CRC looks.
  bad.back()[sim::kIdentityAddress + 16 + 2] = 0xFF;
  bad.back()[sim::kIdentityAddress + 16 + 3] = 0xFF;
  bad.push_back(good);
  bad.back()[sim::kIdentityAddress + 16] = sim::kIdentityAddress + 1;  // region 0 misses the block's start
  for (size_t i = 0; i < bad.size(); ++i) {
    SimRig rig(BareBridge());
    rig.probe.LoadFirmware(bad[i]);
    EXPECT_FALSE(rig.camera.CpuHeldInReset()) << i;
    EXPECT_EQ(rig.probe.Identity(), kBridge) << i;
    EXPECT_EQ(rig.camera.ReEnumerations(), 0u) << i;
    EXPECT_EQ(rig.probe.Command({0x06}), USBD_STATUS_STALL_PID) << i;
  }
  SimRig rig(BareBridge());
  rig.probe.LoadFirmware(good);
  EXPECT_EQ(rig.probe.Identity(), kCamera) << "the untouched image does run";
}

TEST(SimFirmwareLoad, LoadsOutsideTheirMemoryStallAndWriteNothing) {
  SimRig rig(BareBridge());
  std::vector<uint8_t> sixteen(16, 0xEE);
  EXPECT_EQ(rig.probe.Vendor(0xA0, 0x1B30, sixteen), USBD_STATUS_SUCCESS) << "ends on the last internal byte";
  EXPECT_EQ(rig.probe.Vendor(0xA0, 0x1B38, sixteen), USBD_STATUS_STALL_PID) << "would run past it";
  EXPECT_EQ(ReadBack(rig.camera, 0xA0, 0x1B38, 8), std::vector<uint8_t>(8, 0xEE)) << "only the good load landed";
  EXPECT_EQ(rig.probe.Vendor(0xA0, 0x4000, {1}), USBD_STATUS_STALL_PID) << "neither memory nor the reset register";
  EXPECT_EQ(rig.probe.Vendor(0xA0, 0xE600, {1, 0}), USBD_STATUS_STALL_PID) << "the reset register is one byte";
  EXPECT_EQ(rig.probe.Vendor(0xA1, 0x0000, {1}), USBD_STATUS_STALL_PID) << "not a request the bridge knows";

  EXPECT_EQ(rig.probe.Vendor(0xA0, 0x1B3F, {1, 2}), USBD_STATUS_STALL_PID) << "one byte too many";
  EXPECT_EQ(ReadBack(rig.camera, 0xA0, 0x1B3F, 1), std::vector<uint8_t>{0xEE});
  EXPECT_EQ(rig.probe.Vendor(0xA0, 0x1B3F, {7}), USBD_STATUS_SUCCESS) << "the last internal byte alone";

  rig.probe.LoadFirmware(Image(false));
  std::vector<uint8_t> top(16, 0x11);
  EXPECT_EQ(rig.probe.Vendor(0xA3, 0x1B3F, {1}), USBD_STATUS_STALL_PID) << "internal address";
  EXPECT_EQ(rig.probe.Vendor(0xA3, 0x1B40, {1}), USBD_STATUS_SUCCESS) << "the first external byte";
  EXPECT_EQ(rig.probe.Vendor(0xA3, 0xDFF0, top), USBD_STATUS_SUCCESS) << "ends on the last external byte";
  EXPECT_EQ(rig.probe.Vendor(0xA3, 0xDFF8, sixteen), USBD_STATUS_STALL_PID) << "would run into the registers";
  EXPECT_EQ(ReadBack(rig.camera, 0xA3, 0xDFF8, 8), std::vector<uint8_t>(8, 0x11)) << "nothing of it landed";
  EXPECT_EQ(rig.probe.Vendor(0xA3, 0xFFF8, sixteen), USBD_STATUS_STALL_PID) << "would wrap past 0xFFFF";
  EXPECT_EQ(rig.probe.Vendor(0xA0, 0xFFF8, sixteen), USBD_STATUS_STALL_PID);
  EXPECT_EQ(ReadBack(rig.camera, 0xA3, 0x1B40, 1), std::vector<uint8_t>{1}) << "nothing wrapped to the start";
}

TEST(SimFirmwareLoad, StoppingTheCameraFirmwareAbandonsTheFrameAndItsState) {
  SimRig rig;
  ASSERT_EQ(rig.probe.Command({0x23, 1}), USBD_STATUS_SUCCESS);
  ASSERT_EQ(rig.probe.Command({0x0C, 0x00}), USBD_STATUS_SUCCESS);
  ASSERT_EQ(rig.probe.Command({0x03}), USBD_STATUS_SUCCESS);
  ASSERT_EQ(rig.probe.ReadStream(4096, 1000ms).size(), 4096u);

  rig.probe.Vendor(0xA0, 0xE600, {1});
  EXPECT_EQ(rig.probe.Trailing(), 0u) << "frame abandoned";
  EXPECT_FALSE(rig.probe.Reply(10ms)) << "replies dropped";
  rig.probe.Vendor(0xA0, 0xE600, {0});
  EXPECT_FALSE(rig.camera.HalfClock()) << "the firmware starts afresh";
  EXPECT_EQ(rig.camera.FramesSent(), 0u);
}

}  // namespace

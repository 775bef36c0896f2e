// Start's firmware decision against the simulated camera: a fresh bridge is
// loaded and comes back as the camera, a running camera gets nothing, and a
// download that fails midway is survived and repeated at the next start.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/host_pool.h"
#include "support/exchange_helpers.h"
#include "support/scripted_device.h"
#include "tools/client/camera_client.h"
#include "tools/client/camera_system.h"
#include "usb/firmware_download.h"

namespace {

using kscam::CameraSystem;

sim::CameraOptions Camera(bool firmwareRunning) {
  sim::CameraOptions options;
  options.firmwareRunning = firmwareRunning;
  return options;
}

std::vector<host::UsbLogEntry> VendorRequests(host::UsbBus& bus) {
  std::vector<host::UsbLogEntry> vendor;
  for (const host::UsbLogEntry& e : bus.Log())
    if (e.urbFunction == URB_FUNCTION_VENDOR_DEVICE) vendor.push_back(e);
  return vendor;
}

size_t Loads(const FirmwareRecord* image) {
  size_t n = 0;
  while (image[n].type == kFirmwareDataRecord) ++n;
  return n;
}

// Every request of downloading both images: hold, loads and release for each.
size_t FullDownload() { return 4 + Loads(kLoaderImage) + 4 + Loads(kCameraFirmwareImage); }

bool StartUpCommandSent(sim::SimulatedCamera& camera) {
  for (const auto& command : camera.Commands())
    if (command[0] == 0x06) return true;
  return false;
}

TEST(FirmwareAtStart, FreshCameraIsLoadedReEnumeratesAndItsNewDeviceSkipsTheDownload) {
  CameraSystem system(Camera(false));
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  EXPECT_FALSE(system.Context()->usb.firmwareRunning);
  EXPECT_EQ(VendorRequests(system.Bus()).size(), FullDownload());
  EXPECT_TRUE(system.Camera()->FirmwareRunning());
  EXPECT_EQ(system.Camera()->ReEnumerations(), 1u);

  system.Bus().ClearLog();
  system.Camera()->ClearCommands();
  ASSERT_EQ(system.ReEnumerate(), STATUS_SUCCESS);
  EXPECT_TRUE(system.Context()->usb.firmwareRunning);
  EXPECT_TRUE(VendorRequests(system.Bus()).empty());
  EXPECT_TRUE(StartUpCommandSent(*system.Camera()));
  EXPECT_EQ(system.Camera()->Register(0x2D), 14) << "the sensor was initialised";

  system.StopDevice();
  ASSERT_EQ(system.StartDevice(), STATUS_SUCCESS);
  EXPECT_TRUE(VendorRequests(system.Bus()).empty()) << "a restart of the camera's device neither";
  EXPECT_EQ(system.Camera()->ReEnumerations(), 1u);
}

TEST(FirmwareAtStart, CameraRunningItsFirmwareGetsNoVendorRequestAtAll) {
  CameraSystem system(Camera(true));
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  EXPECT_TRUE(system.Context()->usb.firmwareRunning);
  EXPECT_TRUE(VendorRequests(system.Bus()).empty());
  EXPECT_TRUE(StartUpCommandSent(*system.Camera()));
}

// An address the camera image loads and the loader image does not, so that
// damage there reaches the camera firmware only.
int32_t CameraOnlyAddress() {
  auto loadedBy = [](const FirmwareRecord* image, uint32_t address) {
    for (; image->type == kFirmwareDataRecord; ++image)
      if (address >= image->address && address < uint32_t(image->address) + image->length) return true;
    return false;
  };
  for (size_t i = Loads(kCameraFirmwareImage) / 2; i < Loads(kCameraFirmwareImage); ++i) {
    uint32_t address = kCameraFirmwareImage[i].address + kCameraFirmwareImage[i].length / 2;
    if (!loadedBy(kLoaderImage, address)) return int32_t(address);
  }
  return -1;
}

// A bit flipped on the way into the bridge: the camera firmware finds its
// image damaged and never comes back as the camera. Start still returns (it
// waits for nothing), a client gets a clear status instead of frames, and
// the next start, with the download intact, brings the camera up.
TEST(FirmwareAtStart, DamagedDownloadLeavesTheBridgeAndReportsByStatus) {
  CameraSystem system(Camera(false));
  sim::CameraFaults faults;
  faults.damagedLoadAddress = CameraOnlyAddress();
  ASSERT_GE(faults.damagedLoadAddress, 0);
  system.Camera()->SetFaults(faults);
  kscam_test::FrameTimeLimit limit(600);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(system.BringUp(), STATUS_SUCCESS) << "Start reports the configuration only";
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << "start waits for nothing";
  EXPECT_FALSE(system.Camera()->FirmwareRunning());
  EXPECT_EQ(system.Camera()->ReEnumerations(), 0u);
  {
    kscam::CameraClient client(system);
    kscam::VideoFormat format;
    ASSERT_EQ(client.Connect(&format), STATUS_SUCCESS);
    ASSERT_EQ(client.Run(), STATUS_SUCCESS);
    kscam::Frame frame;
    EXPECT_EQ(client.NextFrame(&frame, std::chrono::milliseconds(1500)), STATUS_TIMEOUT) << "no frame from a bridge";
    EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
    client.Close();
  }

  system.Camera()->SetFaults(sim::CameraFaults());
  system.StopDevice();
  EXPECT_EQ(system.StartDevice(), STATUS_SUCCESS);
  EXPECT_TRUE(system.Camera()->FirmwareRunning());
  EXPECT_EQ(system.Camera()->ReEnumerations(), 1u);
}

TEST(FirmwareAtStart, LoadFailingMidwayIsSurvivedAndTheNextStartLoadsAgain) {
  CameraSystem system(Camera(false));
  int loads = 0;
  system.Bus().SetSubmitFault([&loads](const URB& urb, uint8_t) {
    if (urb.UrbHeader.Function != URB_FUNCTION_VENDOR_DEVICE) return false;
    uint16_t address = urb.UrbControlVendorClassRequest.Value;
    return address != kCpuResetAddress && address != kCpuResetAddressOld &&
           ++loads == int(Loads(kLoaderImage)) + 20;
  });
  EXPECT_EQ(system.BringUp(), STATUS_SUCCESS) << "Start reports the configuration only";
  std::vector<host::UsbLogEntry> sent = VendorRequests(system.Bus());
  EXPECT_EQ(sent.size(), 4 + Loads(kLoaderImage) + 2 + 20 + 2) << "the camera image's pass ended at its 20th load";
  EXPECT_EQ(sent.back().value, kCpuResetAddress);
  EXPECT_EQ(sent.back().data, std::vector<uint8_t>{0}) << "released all the same";
  EXPECT_FALSE(system.Camera()->CpuHeldInReset());
  EXPECT_FALSE(system.Camera()->FirmwareRunning()) << "the bridge keeps its own identity";
  EXPECT_EQ(system.Camera()->ReEnumerations(), 0u);

  // No re-enumeration: the same device is started again, and downloads again.
  system.Bus().SetSubmitFault(nullptr);
  system.StopDevice();
  system.Bus().ClearLog();
  EXPECT_EQ(system.StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(VendorRequests(system.Bus()).size(), FullDownload());
  EXPECT_TRUE(system.Camera()->FirmwareRunning());
  EXPECT_EQ(system.Camera()->ReEnumerations(), 1u);
}

TEST(FirmwareAtStart, FailedDescriptorReadCountsAsNoFirmwareAndBothImagesAreTried) {
  auto device = std::make_unique<test::ScriptedDevice>();
  device->deviceDescriptorStatus = USBD_STATUS_STALL_PID;
  CameraSystem system(std::move(device));
  ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(system.AddDevice(), STATUS_SUCCESS);
  EXPECT_EQ(system.StartDevice(), STATUS_UNSUCCESSFUL);
  // The scripted device refuses every vendor request: each image is held,
  // its first load fails, and it is released.
  std::vector<host::UsbLogEntry> sent = VendorRequests(system.Bus());
  ASSERT_EQ(sent.size(), 2u * 5);
  EXPECT_EQ(sent[2].value, kLoaderImage[0].address);
  EXPECT_EQ(sent[7].value, kCameraFirmwareImage[0].address);
}

TEST(FirmwareAtStart, WithoutRequestBlocksNoVendorRequestIsSentAndStartCarriesOn) {
  CameraSystem system(Camera(false));
  ASSERT_EQ(system.LoadDriver(), STATUS_SUCCESS);
  ASSERT_EQ(system.AddDevice(), STATUS_SUCCESS);
  host::FailAllocationsWithTag("Vdrv");
  EXPECT_EQ(system.StartDevice(), STATUS_INSUFFICIENT_RESOURCES);
  host::ClearPoolFaults();
  EXPECT_TRUE(VendorRequests(system.Bus()).empty()) << "not even the reset writes";
  EXPECT_TRUE(system.Camera()->CpuHeldInReset()) << "the bridge as it powered up";
  EXPECT_EQ(host::PoolLiveAllocations("Vdrv"), 0u);
}

}  // namespace

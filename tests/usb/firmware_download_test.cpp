// The firmware images against their HEX files, and the download's requests
// byte for byte against the simulated bridge: order, passes, reset writes,
// failures midway and allocation failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "platform/host_pool.h"
#include "platform/usb_bus.h"
#include "sim/bridge_cpu.h"
#include "sim/firmware_identity.h"
#include "sim/simulated_camera.h"
#include "usb/firmware_download.h"

namespace {

struct HexRecord {
  uint8_t type;
  uint16_t address;
  std::vector<uint8_t> data;
};

// An independent reading of the committed HEX file (it trusts the file's
// checksums; the generator's own tests cover malformed lines).
std::vector<HexRecord> ReadHex(const std::string& name) {
  std::ifstream in(std::string(KSCAM_FIRMWARE_BUILD_DIR) + "/" + name);
  std::vector<HexRecord> records;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    auto byte = [&](size_t i) { return uint8_t(std::stoul(line.substr(1 + 2 * i, 2), nullptr, 16)); };
    HexRecord record{byte(3), uint16_t(byte(1) << 8 | byte(2)), {}};
    for (size_t i = 0; i < byte(0); ++i) record.data.push_back(byte(4 + i));
    records.push_back(record);
  }
  return records;
}

size_t DataRecords(const FirmwareRecord* image) {
  size_t n = 0;
  while (image[n].type == kFirmwareDataRecord) ++n;
  return n;
}

struct ImageShape {
  const char* hexFile;
  const FirmwareRecord* table;
};

// The images come from the firmware build, so their size follows the code;
// what is fixed is their form.
const ImageShape kShapes[] = {
    {"loader.hex", kLoaderImage},
    {"camera.hex", kCameraFirmwareImage},
};

TEST(FirmwareImages, TablesAgreeWithTheirHexFilesAndHaveTheirShape) {
  for (const ImageShape& shape : kShapes) {
    SCOPED_TRACE(shape.hexFile);
    std::vector<HexRecord> hex = ReadHex(shape.hexFile);
    ASSERT_GE(hex.size(), 2u);
    const size_t records = hex.size() - 1;
    ASSERT_EQ(DataRecords(shape.table), records);
    size_t bytes = 0;
    uint16_t lowest = 0xFFFF, highest = 0;
    for (size_t i = 0; i <= records; ++i) {
      const FirmwareRecord& record = shape.table[i];
      EXPECT_EQ(record.type, hex[i].type) << i;
      EXPECT_EQ(record.address, hex[i].address) << i;
      ASSERT_EQ(record.length, hex[i].data.size()) << i;
      EXPECT_TRUE(std::equal(hex[i].data.begin(), hex[i].data.end(), record.data)) << i;
      EXPECT_TRUE(std::all_of(record.data + record.length, record.data + 16, [](uint8_t b) { return b == 0; }));
      EXPECT_EQ(record.reserved0 | record.reserved1, 0);
      if (record.type != kFirmwareDataRecord) continue;
      EXPECT_GE(record.length, 1);
      bytes += record.length;
      lowest = std::min(lowest, record.address);
      highest = std::max<uint16_t>(highest, record.address + record.length - 1);
    }
    const FirmwareRecord& end = shape.table[records];
    EXPECT_EQ(end.type, kFirmwareEndRecord);
    EXPECT_EQ(end.length, 0);
    EXPECT_EQ(end.address, 0);
    EXPECT_EQ(sizeof(FirmwareRecord), 22u);
    EXPECT_GT(bytes, 0u);
    EXPECT_EQ(lowest, 0);
    EXPECT_LE(highest, kLastInternalAddress) << "both images load entirely into internal memory";
  }
}

// The image as internal memory holds it after a download into zeroed memory.
std::vector<uint8_t> Memory(const FirmwareRecord* image) {
  std::vector<uint8_t> memory(sim::kInternalMemoryBytes, 0);
  for (const FirmwareRecord* r = image; r->type == kFirmwareDataRecord; ++r)
    std::copy(r->data, r->data + r->length, memory.begin() + r->address);
  return memory;
}

TEST(FirmwareImages, EachStartsWithAJumpAndIdentifiesItself) {
  std::vector<uint8_t> loader = Memory(kLoaderImage);
  std::vector<uint8_t> camera = Memory(kCameraFirmwareImage);
  for (const auto* memory : {&loader, &camera}) {
    EXPECT_EQ((*memory)[0], 0x02) << "LJMP at the reset vector";
    EXPECT_LT(((*memory)[1] << 8 | (*memory)[2]), 0x0400) << "into the image's code";
  }
  auto loaderIdentity = sim::IdentifyProgram(loader.data(), uint32_t(loader.size()));
  ASSERT_TRUE(loaderIdentity);
  EXPECT_EQ(loaderIdentity->capabilities, sim::kServesExternalLoad);
  auto cameraIdentity = sim::IdentifyProgram(camera.data(), uint32_t(camera.size()));
  ASSERT_TRUE(cameraIdentity);
  EXPECT_EQ(cameraIdentity->capabilities, sim::kCameraCommandLoop);
  EXPECT_EQ(cameraIdentity->vendorId, kCameraFirmwareVendorId) << "the identity Start looks for";
  EXPECT_EQ(cameraIdentity->productId, kCameraFirmwareProductId);
}

// --- The download against the simulated bridge ---------------------------

struct Request {
  uint8_t request;
  uint16_t value;
  std::vector<uint8_t> data;
  bool operator==(const Request&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Request& r) {
  return out << std::hex << "{0x" << int(r.request) << " @0x" << r.value << ", " << std::dec << r.data.size()
             << " bytes}";
}

const Request kHoldOld{0xA0, 0x7F92, {1}}, kHold{0xA0, 0xE600, {1}};
const Request kRunOld{0xA0, 0x7F92, {0}}, kRun{0xA0, 0xE600, {0}};

// What a download of `image` sends when every request succeeds.
std::vector<Request> Expected(const FirmwareRecord* image) {
  std::vector<Request> external, internal;
  for (const FirmwareRecord* r = image; r->type == kFirmwareDataRecord; ++r) {
    Request load{r->address > 0x1B3F ? uint8_t(0xA3) : uint8_t(0xA0), r->address, {r->data, r->data + r->length}};
    (load.request == 0xA3 ? external : internal).push_back(load);
  }
  std::vector<Request> all = external;
  all.insert(all.end(), {kHoldOld, kHold});
  all.insert(all.end(), internal.begin(), internal.end());
  all.insert(all.end(), {kRunOld, kRun});
  return all;
}

class FirmwareDownload : public ::testing::Test {
 protected:
  FirmwareDownload() : camera_(BareBridge()) {
    bus_.Plug(&camera_);
    usb_.lowerDeviceObject = bus_.PhysicalDeviceObject();
  }
  ~FirmwareDownload() override {
    host::ClearPoolFaults();
    bus_.Unplug();
  }
  static sim::CameraOptions BareBridge() {
    sim::CameraOptions options;
    options.firmwareRunning = false;
    return options;
  }
  std::vector<Request> Sent() {
    std::vector<Request> sent;
    for (const host::UsbLogEntry& e : bus_.Log()) {
      EXPECT_EQ(e.urbFunction, URB_FUNCTION_VENDOR_DEVICE);
      sent.push_back({e.request, e.value, e.data});
    }
    bus_.ClearLog();
    return sent;
  }
  // Makes the n-th load request (counted from 1, reset writes not counted) fail.
  void FailLoad(int n) {
    auto loads = std::make_shared<int>(0);
    bus_.SetSubmitFault([loads, n](const URB& urb, uint8_t) {
      const auto& vendor = urb.UrbControlVendorClassRequest;
      if (urb.UrbHeader.Function != URB_FUNCTION_VENDOR_DEVICE) return false;
      if (vendor.Value == kCpuResetAddress || vendor.Value == kCpuResetAddressOld) return false;
      return ++*loads == n;
    });
  }
  uint8_t InternalByte(uint16_t address) {
    uint8_t value = 0xEE;
    camera_.VendorRequest(true, 0xA0, address, 0, &value, 1);
    return value;
  }
  std::pair<uint16_t, uint16_t> Identity() {
    uint8_t d[18] = {};
    camera_.GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, d, sizeof d);
    return {uint16_t(d[8] | d[9] << 8), uint16_t(d[10] | d[11] << 8)};
  }

  host::UsbBus bus_;
  sim::SimulatedCamera camera_;
  UsbDevice usb_{};
};

const std::pair<uint16_t, uint16_t> kBridge{sim::kBridgeVendorId, sim::kBridgeProductId};
const std::pair<uint16_t, uint16_t> kCamera{kCameraFirmwareVendorId, kCameraFirmwareProductId};

TEST_F(FirmwareDownload, FreshBridgeTakesTheLoaderThenTheCameraFirmwareAndReEnumerates) {
  EXPECT_EQ(DownloadFirmware(&usb_, kLoaderImage), STATUS_SUCCESS);
  std::vector<Request> sent = Sent();
  EXPECT_EQ(sent.size(), 4 + DataRecords(kLoaderImage)) << "hold twice, every load, release twice";
  EXPECT_EQ(sent, Expected(kLoaderImage));
  EXPECT_FALSE(camera_.CpuHeldInReset());
  EXPECT_EQ(Identity(), kBridge) << "the loader does not re-enumerate";
  uint8_t probe[2] = {0x55, 0xAA};
  EXPECT_EQ(camera_.VendorRequest(false, 0xA3, 0x2000, 0, probe, 2).status, USBD_STATUS_SUCCESS)
      << "the loader serves external loads";

  EXPECT_EQ(DownloadFirmware(&usb_, kCameraFirmwareImage), STATUS_SUCCESS);
  sent = Sent();
  EXPECT_EQ(sent.size(), 4 + DataRecords(kCameraFirmwareImage));
  EXPECT_EQ(sent, Expected(kCameraFirmwareImage));
  EXPECT_TRUE(camera_.FirmwareRunning());
  EXPECT_EQ(camera_.ReEnumerations(), 1u);
  EXPECT_EQ(Identity(), kCamera);
}

TEST_F(FirmwareDownload, ImageOfTheEndRecordOnlyHoldsAndReleasesTheProcessor) {
  const FirmwareRecord endOnly[] = {{0, 0, 0, kFirmwareEndRecord, {}, 0}};
  EXPECT_EQ(DownloadFirmware(&usb_, endOnly), STATUS_SUCCESS) << "no load request sent";
  EXPECT_EQ(Sent(), (std::vector<Request>{kHoldOld, kHold, kRunOld, kRun}));
  EXPECT_FALSE(camera_.CpuHeldInReset());
}

TEST_F(FirmwareDownload, LastInternalAddressLoadsWhileHeldTheNextBeforeHolding) {
  const FirmwareRecord image[] = {
      {1, 0, 0x1B3F, 0, {0xAA}, 0},
      {2, 0, 0x1B40, 0, {0xBB, 0xCC}, 0},
      {0, 0, 0, kFirmwareEndRecord, {}, 0},
  };
  // Nothing runs on the bare bridge to serve the external load: it fails,
  // and the internal pass still runs; the result is that of the last load.
  EXPECT_EQ(DownloadFirmware(&usb_, image), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), (std::vector<Request>{{0xA3, 0x1B40, {0xBB, 0xCC}}, kHoldOld, kHold, {0xA0, 0x1B3F, {0xAA}},
                                          kRunOld, kRun}));
  EXPECT_EQ(InternalByte(0x1B3F), 0xAA);
}

TEST_F(FirmwareDownload, ExternalLoadsGoToTheRunningLoaderBeforeTheProcessorIsHeld) {
  ASSERT_EQ(DownloadFirmware(&usb_, kLoaderImage), STATUS_SUCCESS);
  Sent();
  const FirmwareRecord image[] = {
      {3, 0, 0x3000, 0, {1, 2, 3}, 0},
      {1, 0, 0x0100, 0, {9}, 0},
      {2, 0, 0x2000, 0, {4, 5}, 0},
      {0, 0, 0, kFirmwareEndRecord, {}, 0},
  };
  EXPECT_EQ(DownloadFirmware(&usb_, image), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), Expected(image));
}

TEST_F(FirmwareDownload, FailedLoadEndsItsPassButTheProcessorIsStillReleased) {
  FailLoad(int(DataRecords(kLoaderImage)) + 20);
  ASSERT_EQ(DownloadFirmware(&usb_, kLoaderImage), STATUS_SUCCESS);
  Sent();
  EXPECT_EQ(DownloadFirmware(&usb_, kCameraFirmwareImage), STATUS_DEVICE_NOT_CONNECTED);
  std::vector<Request> sent = Sent();
  std::vector<Request> full = Expected(kCameraFirmwareImage);
  // The loader's loads counted first: the camera image's 20th load fails.
  ASSERT_EQ(sent.size(), 2u + 20u + 2u);
  EXPECT_TRUE(std::equal(sent.begin(), sent.end() - 2, full.begin()));
  EXPECT_EQ(sent[sent.size() - 2], kRunOld);
  EXPECT_EQ(sent.back(), kRun);
  EXPECT_FALSE(camera_.CpuHeldInReset());
  EXPECT_FALSE(camera_.FirmwareRunning()) << "a partial image does not check";
  EXPECT_EQ(camera_.ReEnumerations(), 0u);
  EXPECT_EQ(Identity(), kBridge);
}

TEST_F(FirmwareDownload, RecordTheBridgeRefusesEndsThePassLikeAFailedRequest) {
  const FirmwareRecord image[] = {
      {2, 0, 0x1B3F, 0, {1, 2}, 0},  // runs one byte past internal memory
      {1, 0, 0x0000, 0, {0x02}, 0},
      {0, 0, 0, kFirmwareEndRecord, {}, 0},
  };
  EXPECT_EQ(DownloadFirmware(&usb_, image), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Sent(), (std::vector<Request>{kHoldOld, kHold, {0xA0, 0x1B3F, {1, 2}}, kRunOld, kRun}));
  EXPECT_EQ(InternalByte(0x1B3F), 0) << "the refused load wrote nothing";
}

TEST_F(FirmwareDownload, FailedResetWritesNeitherStopTheLoadsNorChangeTheResult) {
  bus_.SetSubmitFault([](const URB& urb, uint8_t) {
    uint16_t address = urb.UrbControlVendorClassRequest.Value;
    return address == kCpuResetAddress || address == kCpuResetAddressOld;
  });
  EXPECT_EQ(DownloadFirmware(&usb_, kLoaderImage), STATUS_SUCCESS) << "the status of the last load";
  EXPECT_EQ(Sent(), Expected(kLoaderImage)) << "every load was still sent";
}

TEST_F(FirmwareDownload, AllocationFailureSendsNothingAtAll) {
  host::FailNthAllocation(1);
  EXPECT_EQ(DownloadFirmware(&usb_, kLoaderImage), STATUS_INSUFFICIENT_RESOURCES);
  host::FailNthAllocation(1);
  EXPECT_EQ(SetCpuReset(&usb_, TRUE), STATUS_INSUFFICIENT_RESOURCES);
  host::ClearPoolFaults();
  EXPECT_TRUE(bus_.Log().empty());
  EXPECT_TRUE(camera_.CpuHeldInReset()) << "still as it powered up";
  EXPECT_EQ(host::PoolLiveAllocations("Vdrv"), 0u);
}

TEST_F(FirmwareDownload, SetCpuResetWritesBothAddressesAndReportsTheNewerOne) {
  EXPECT_EQ(SetCpuReset(&usb_, FALSE), STATUS_SUCCESS);
  EXPECT_EQ(Sent(), (std::vector<Request>{kRunOld, kRun}));
  EXPECT_FALSE(camera_.CpuHeldInReset());

  for (uint16_t failing : {kCpuResetAddressOld, kCpuResetAddress}) {
    bus_.SetSubmitFault([failing](const URB& urb, uint8_t) {
      return urb.UrbControlVendorClassRequest.Value == failing;
    });
    NTSTATUS status = SetCpuReset(&usb_, TRUE);
    EXPECT_EQ(Sent(), (std::vector<Request>{kHoldOld, kHold})) << "the second is sent whatever the first did";
    EXPECT_EQ(status, failing == kCpuResetAddress ? STATUS_DEVICE_NOT_CONNECTED : STATUS_SUCCESS);
  }
}

}  // namespace

// The camera's contract: everything the driver relies on the camera for,
// checked against any stand-in for it through the USB device interface.
// Instantiate CameraContract with the stand-ins to check.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "contract/device_probe.h"
#include "platform/usb_bus.h"

struct CameraUnderTest {
  std::string name;
  // A fresh camera, its firmware already running or not yet loaded.
  std::function<std::unique_ptr<host::UsbDeviceModel>(bool firmwareRunning)> make;
  uint16_t cameraVendorId = 0;
  uint16_t cameraProductId = 0;
  // An internal-memory image (loaded at address 0) that the bridge runs as
  // the camera firmware.
  std::vector<uint8_t> cameraFirmware;
  // The sensor variant: its identification, and the lead-in that the driver
  // derives from registers 0x00 and 0xFD.
  uint16_t chipId = 0;
  uint32_t lineOffset = 0;
  // Why this stand-in cannot be checked here (its tests are skipped), or empty.
  std::string unavailable;
};

inline void PrintTo(const CameraUnderTest& camera, std::ostream* out) { *out << camera.name; }

inline std::string ContractName(const testing::TestParamInfo<CameraUnderTest>& info) { return info.param.name; }

class CameraContract : public testing::TestWithParam<CameraUnderTest> {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Attaches a camera to the recording sink and selects its configuration.
  std::unique_ptr<host::UsbDeviceModel> Plug(bool firmwareRunning);

  std::unique_ptr<host::UsbDeviceModel> device_;
  probe::RecordingSink sink_;
  std::unique_ptr<probe::DeviceProbe> probe_;
};

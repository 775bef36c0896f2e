// The simulated camera, in each sensor variant and paced, meets the camera contract.
#include "contract/camera_contract.h"
#include "sim/firmware_identity.h"
#include "sim/simulated_camera.h"

namespace {

// A stand-in for the camera firmware image: a jump over the vectors, the
// identity block the simulated bridge checks, an endless loop.
std::vector<uint8_t> CameraFirmwareImage() {
  return sim::ComposeProgram({sim::kCameraCommandLoop, sim::kCameraVendorId, sim::kCameraProductId, 0x0100});
}

CameraUnderTest Simulated(std::string name, sim::SensorChip chip, uint16_t chipId, uint32_t lineOffset,
                          bool paced = false) {
  CameraUnderTest camera;
  camera.name = std::move(name);
  camera.make = [chip, paced](bool firmwareRunning) -> std::unique_ptr<host::UsbDeviceModel> {
    sim::CameraOptions options;
    options.chip = chip;
    options.firmwareRunning = firmwareRunning;
    options.paced = paced;
    return std::make_unique<sim::SimulatedCamera>(options);
  };
  camera.cameraVendorId = sim::kCameraVendorId;
  camera.cameraProductId = sim::kCameraProductId;
  camera.cameraFirmware = CameraFirmwareImage();
  camera.chipId = chipId;
  camera.lineOffset = lineOffset;
  return camera;
}

INSTANTIATE_TEST_SUITE_P(SimulatedCamera, CameraContract,
                         testing::Values(Simulated("Rev1800", sim::SensorChip::Rev1800, 0x1800, 608),
                                         Simulated("Rev1801Short", sim::SensorChip::Rev1801Short, 0x1801, 608),
                                         Simulated("Rev1801Long", sim::SensorChip::Rev1801Long, 0x1801, 884),
                                         Simulated("Rev1800Paced", sim::SensorChip::Rev1800, 0x1800, 608, true)),
                         ContractName);

}  // namespace

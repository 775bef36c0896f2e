// The simulated camera, in each sensor variant and paced, with the C++ model
// of the firmware and with the camera firmware running on the bridge's 8051,
// meets the camera contract.
#include "contract/camera_contract.h"
#include "sim/firmware_command_loop.h"
#include "sim/firmware_identity.h"
#include "sim/simulated_camera.h"

namespace {

// A stand-in for the camera firmware image: a jump over the vectors, the
// identity block the simulated bridge checks, an endless loop.
std::vector<uint8_t> CameraFirmwareImage() {
  return sim::ComposeProgram({sim::kCameraCommandLoop, sim::kCameraVendorId, sim::kCameraProductId, 0x0100});
}

CameraUnderTest Simulated(std::string name, sim::SensorChip chip, uint16_t chipId, uint32_t lineOffset,
                          bool paced = false, sim::BridgeModel bridge = sim::BridgeModel::CommandModel) {
  CameraUnderTest camera;
  camera.name = std::move(name);
  camera.make = [chip, paced, bridge](bool firmwareRunning) -> std::unique_ptr<host::UsbDeviceModel> {
    sim::CameraOptions options;
    options.bridge = bridge;
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

// The same camera with the built firmware running on the 8051.
CameraUnderTest Running8051(std::string name, sim::SensorChip chip, uint16_t chipId, uint32_t lineOffset,
                            bool paced = false) {
  CameraUnderTest camera = Simulated(std::move(name), chip, chipId, lineOffset, paced, sim::BridgeModel::Firmware);
  camera.cameraFirmware = sim::BuiltCameraFirmware();
  if (camera.cameraFirmware.empty()) camera.unavailable = "sdcc is not installed: the camera firmware was not built";
  return camera;
}

INSTANTIATE_TEST_SUITE_P(SimulatedCamera, CameraContract,
                         testing::Values(Simulated("Rev1800", sim::SensorChip::Rev1800, 0x1800, 608),
                                         Simulated("Rev1801Short", sim::SensorChip::Rev1801Short, 0x1801, 608),
                                         Simulated("Rev1801Long", sim::SensorChip::Rev1801Long, 0x1801, 884),
                                         Simulated("Rev1800Paced", sim::SensorChip::Rev1800, 0x1800, 608, true),
                                         Running8051("Rev1800On8051", sim::SensorChip::Rev1800, 0x1800, 608),
                                         Running8051("Rev1801ShortOn8051", sim::SensorChip::Rev1801Short, 0x1801, 608),
                                         Running8051("Rev1801LongOn8051", sim::SensorChip::Rev1801Long, 0x1801, 884),
                                         Running8051("Rev1801LongPacedOn8051", sim::SensorChip::Rev1801Long, 0x1801, 884,
                                                     true)),
                         ContractName);

}  // namespace

// The simulated camera: a high-speed USB bridge (an 8051 behind the bus) in
// front of a 2560 x 1920 Bayer sensor, as a device on the host USB bus.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/usb_bus.h"

namespace sim {

// The sensor's chip identification variants the driver tells apart.
enum class SensorChip {
  Rev1800,          // register 0x00 reads 0x1800
  Rev1801Short,     // 0x1801, register 0xFD with (value & 0x7E0) == 0xE0: 608-byte lead-in
  Rev1801Long,      // 0x1801, register 0xFD otherwise: 884-byte lead-in
};

// USB identities: the bare bridge before its firmware runs, the camera once
// its firmware runs. The driver compares the camera identity at start.
constexpr uint16_t kBridgeVendorId = 0xF5C0;
constexpr uint16_t kBridgeProductId = 0x0001;
constexpr uint16_t kCameraVendorId = 0xF5C0;
constexpr uint16_t kCameraProductId = 0x5C01;

struct CameraOptions {
  SensorChip chip = SensorChip::Rev1800;
  bool firmwareRunning = true;  // false: the camera presents the bridge identity
  std::string scene = "chart";  // "chart" (default test chart) or "bars"
  bool paced = false;           // pace frame data at a USB 2.0 bulk rate
  double bytesPerSecond = 42e6; // sustained high-speed bulk rate when paced
  bool movingElement = false;   // the chart's moving element advances every frame
};

// Faults the camera can be told to show.
struct CameraFaults {
  bool silent = false;              // after go, send no frame data at all
  int64_t stopAfterBytes = -1;      // stop each frame after this many bytes (-1: never)
  bool noReplies = false;           // queue no reply packets
  uint32_t shortReplyBytes = 0;     // nonzero: reply packets are this long
  bool stallCommandPipe = false;    // the command endpoint stalls
};

// A command packet as the camera received it (64 bytes).
using CommandPacket = std::vector<uint8_t>;

class SimulatedCamera final : public host::UsbDeviceModel {
 public:
  explicit SimulatedCamera(const CameraOptions& options = CameraOptions());
  ~SimulatedCamera() override;

  // --- Test and tool view of the camera ---
  std::vector<CommandPacket> Commands();  // every command packet received, in order
  void ClearCommands();
  uint16_t Register(uint8_t number);      // the sensor's register file
  void SetRegister(uint8_t number, uint16_t value);
  uint32_t FrameSize();                   // as set by command 0x09
  bool HalfClock();
  bool FirmwareRunning();
  uint64_t FramesSent();                  // frames whose every byte went out
  void SetFaults(const CameraFaults& faults);
  void SetScene(const std::string& scene);

  // --- host::UsbDeviceModel ---
  void Attach(host::UsbBusSink* bus) override;
  void Detach() override;
  host::UsbTransferResult GetDescriptor(uint8_t type, uint8_t index, uint16_t language,
                                        uint8_t* buffer, uint32_t length) override;
  host::UsbTransferResult VendorRequest(bool toHost, uint8_t request, uint16_t value,
                                        uint16_t index, uint8_t* data, uint32_t length) override;
  USBD_STATUS SelectConfiguration(uint8_t configurationValue) override;
  host::UsbTransferResult BulkOut(uint8_t endpointAddress, const uint8_t* data,
                                  uint32_t length) override;
  host::UsbInResult BulkIn(uint8_t endpointAddress, uint8_t* buffer, uint32_t capacity) override;
  USBD_STATUS ResetPipe(uint8_t endpointAddress) override;
  void AbortPipe(uint8_t endpointAddress) override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Endpoints of the camera's one interface, in pipe order.
constexpr uint8_t kCommandEndpoint = 0x01;  // pipe 0, bulk OUT
constexpr uint8_t kReplyEndpoint = 0x81;    // pipe 1, bulk IN
constexpr uint8_t kFrameEndpoint = 0x82;    // pipe 2, bulk IN

}  // namespace sim

// The simulated camera: a high-speed USB bridge (an 8051 behind the bus) in
// front of a 2560 x 1920 Bayer sensor, as a device on the host USB bus.
//
// Behaviour the driver can rely on beyond the command table:
// - Command packets must be exactly 64 bytes; any other length halts the
//   command endpoint (stall) until the host resets the pipe. Unknown command
//   codes are accepted and ignored.
// - Commands run only while the camera firmware runs; otherwise the command
//   endpoint stalls. On the 8051, firmware that has stopped (an undefined
//   opcode, or no poll of the command buffer within its instruction budget)
//   stalls it too.
// - A command with an answer (0x0C, 0x24) queues two reply packets: an exact
//   echo of the command packet, then the answer. Replies stay queued until
//   collected; resetting the reply pipe keeps them.
// - Go (0x03) renders one frame from the sensor state at that moment and
//   starts sending it; a go during a frame abandons the rest of that frame.
//   Halt (0x02) abandons the frame in progress. External trigger mode changes
//   nothing: go is the trigger.
// - The half clock (0x23) changes only the clock; sensor registers keep their
//   values.
// - Resetting the bridge CPU or the port drops queued replies and the frame
//   in progress.
// - Firmware loads: see bridge_cpu.h. When paced, a vendor request takes
//   three microframes (setup, data and status stages), 375 us.
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/usb_bus.h"
#include "sim/frame_streamer.h"
#include "sim/sensor.h"
#include "sim/usb_identity.h"

namespace sim {

// What executes the camera firmware's command loop.
enum class BridgeModel {
  Firmware,      // the bridge's 8051 runs what memory holds: the built camera firmware at power-up,
                 // or whatever the host downloaded
  CommandModel,  // a C++ model of the firmware; downloads are checked by their identity block, not run
};

struct CameraOptions {
  SensorChip chip = SensorChip::Rev1800;
  BridgeModel bridge = BridgeModel::Firmware;
  bool firmwareRunning = true;  // false: the camera presents the bridge identity
  std::string scene = "chart";  // "chart" (default test chart), "bars" or "ramp"
  bool paced = false;           // pace frame data at a USB 2.0 bulk rate, and control requests too
  double bytesPerSecond = 42e6; // sustained high-speed bulk rate when paced
  bool movingElement = false;   // the chart's moving element advances every frame
};

// Faults the camera can be told to show.
struct CameraFaults {
  bool silent = false;              // after go, send no frame data at all
  int64_t stopAfterBytes = -1;      // stop each frame after this many bytes (-1: never)
  bool noReplies = false;           // queue no reply packets
  bool firstReplyOnly = false;      // of the two reply packets, queue only the first
  uint32_t shortReplyBytes = 0;     // nonzero: reply packets are this long
  bool holdReplies = false;         // keep replies back until the faults are set without this
  bool stallCommandPipe = false;    // the command endpoint is halted (until ResetPipe)
  bool stallReplyPipe = false;      // the reply endpoint is halted (until ResetPipe)
  // A load of the bridge's internal memory that covers this address stores
  // its byte with bit 0 flipped, as a damaged download would (-1: never).
  int32_t damagedLoadAddress = -1;
};

// A command packet as the camera received it (64 bytes).
using CommandPacket = std::vector<uint8_t>;

class SimulatedCamera final : public host::UsbDeviceModel {
 public:
  // Throws std::invalid_argument for an unknown scene, and for a camera whose
  // firmware should run on the 8051 from power-up when it was not built.
  explicit SimulatedCamera(const CameraOptions& options = CameraOptions());
  ~SimulatedCamera() override;
  SimulatedCamera(const SimulatedCamera&) = delete;
  SimulatedCamera& operator=(const SimulatedCamera&) = delete;

  // --- Test and tool view of the camera (callable from any thread) ---
  std::vector<CommandPacket> Commands();  // every command packet executed, in order
  void ClearCommands();
  uint16_t Register(uint8_t number);      // the sensor's register file
  void SetRegister(uint8_t number, uint16_t value);  // read-only registers included
  uint32_t FrameSize();                   // as set by command 0x09, else the layout's size
  bool HalfClock();
  bool FirmwareRunning();                 // the camera firmware runs (camera identity)
  bool CpuHeldInReset();
  // Times the camera firmware started and re-enumerated as the camera; the
  // host then removes the bridge's device and adds the camera's.
  uint32_t ReEnumerations();
  uint64_t FramesSent();                  // frames whose every byte went out
  uint64_t FramesStarted();               // go commands that started a frame
  size_t PendingReplies();                // reply packets not yet collected
  FrameLayout Layout();                   // where the next frame's samples go
  int BayerPhase();                       // colour phase of the next frame's first sample
  std::vector<uint8_t> RenderFrame();     // the frame that go would send now
  void SetFaults(const CameraFaults& faults);
  // Throws std::invalid_argument for an unknown scene.
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
  void PortReset() override;

 private:
  struct State;
  // Tells the bus that IN data became available (never after Detach).
  void NotifyBus();
  // One pacing step: tells the bus about newly available frame bytes.
  bool PaceTick();

  std::unique_ptr<State> state_;
};

}  // namespace sim

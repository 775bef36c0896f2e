// The command loop of 8051 firmware running on the bridge's processor: the
// camera's USB side hands it command packets and collects its replies and
// frame requests through the bridge's register block.
#pragma once

#include <stdint.h>

#include <vector>

#include "sim/bridge_firmware.h"
#include "sim/bridge_processor.h"

namespace sim {

// The camera firmware that the build made with SDCC, as an image loaded at
// address 0; empty when the firmware was not built (no sdcc).
std::vector<uint8_t> BuiltCameraFirmware();

class FirmwareCommandLoop final : public CommandLoop {
 public:
  explicit FirmwareCommandLoop(BridgeProcessor& processor) : processor_(processor) {}

  // A packet the firmware does not take (processor in reset or hung) is lost,
  // as the USB core would nak it until the host gave up.
  FrameAction Execute(const Packet& packet, const ReplyFaults& faults) override;
  // The size registers, when the firmware has set them since its last reset.
  std::optional<uint32_t> FrameSize() const override;
  bool HalfClock() const override { return processor_.Events().halfClock; }
  // The processor's reset clears its registers; only the replies the USB
  // core held are left to drop.
  void Restart() override { DropReplies(); }

 private:
  BridgeProcessor& processor_;
};

}  // namespace sim

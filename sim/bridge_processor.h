// The bridge's 8051 running downloaded firmware: its memory, the core, the
// register block, and the hardware behind it (the sensor on I2C, the frame
// path, the USB core's identity).
//
// The processor runs on demand rather than on a clock of its own: after a
// release from reset and after each command packet it runs until the
// firmware polls an empty command buffer, which is when a real bridge would
// sit idle. A program that never gets there is stopped after an instruction
// budget and counts as hung; the bridge's USB side stays usable.
#pragma once

#include <stdint.h>

#include <optional>
#include <vector>

#include "sim/i8051/bridge_registers.h"
#include "sim/i8051/core.h"
#include "sim/sensor.h"

namespace sim {

constexpr uint8_t kSensorI2cAddress = 0x36;

// What the firmware asked of the frame path and the USB core.
struct BridgeEvents {
  uint32_t goes = 0;
  uint32_t halts = 0;
  std::optional<uint32_t> lastFrameSize;  // as passed with the last go; empty: the sensor's readout size
  bool halfClock = false;
  uint32_t reEnumerations = 0;
  uint16_t vendorId = 0, productId = 0, release = 0;  // of the last re-enumeration
};

// Not synchronised: the owner serialises every call.
class BridgeProcessor final : private i8051::BridgeHardware {
 public:
  // Instructions a program may take to go idle before it counts as hung.
  static constexpr uint64_t kIdleBudget = 2'000'000;

  explicit BridgeProcessor(Sensor& sensor);

  // Memory as the host's load requests reach it.
  uint8_t* Memory() { return memory_.data(); }
  // Holds the processor in reset, or releases it and runs the firmware until idle.
  void SetReset(bool hold);
  bool HeldInReset() const { return held_; }
  // The firmware stopped (undefined opcode) or never went idle.
  bool Hung() const { return hung_; }

  // A packet on the command endpoint: false when it is refused (held in
  // reset, hung, or the buffer is still full). Accepted packets are executed
  // before the call returns.
  bool Command(const uint8_t* data, uint32_t length);
  bool TakeReply(i8051::BridgePacket& packet, uint32_t& length) { return registers_.TakeReply(packet, length); }
  // A vendor request on the control endpoint, served by the firmware: false
  // (a stall) when nothing runs, the firmware refuses it or leaves it
  // unanswered. `moved` is the bytes of the data stage.
  bool ControlRequest(bool toHost, uint8_t request, uint16_t value, uint16_t index, uint8_t* data, uint32_t length,
                      uint32_t& moved);
  size_t PendingReplies() const { return registers_.PendingReplies(); }
  void DropReplies() { registers_.DropReplies(); }

  const BridgeEvents& Events() const { return events_; }
  std::optional<uint32_t> FrameSizeRegister() const { return registers_.FrameSize(); }
  // Released from reset, and not hung.
  bool Running() const { return !held_ && !hung_; }
  uint64_t Instructions() const { return core_.Executed(); }

 private:
  void RunUntilIdle();
  bool I2cWrite(uint8_t device, uint8_t number, uint16_t value) override;
  bool I2cRead(uint8_t device, uint8_t number, uint16_t& value) override;
  void FrameGo(std::optional<uint32_t> bytes) override;
  void FrameHalt() override;
  void SetHalfClock(bool on) override;
  void ReEnumerate(uint16_t vendorId, uint16_t productId, uint16_t release) override;

  Sensor& sensor_;
  // Program and data share the bridge's RAM, so one space serves as both.
  std::vector<uint8_t> memory_ = std::vector<uint8_t>(i8051::Core::kSpaceBytes);
  i8051::BridgeRegisters registers_{*this};
  i8051::Core core_{memory_.data(), memory_.data(), &registers_};
  bool held_ = true;
  bool hung_ = false;
  BridgeEvents events_;
};

}  // namespace sim

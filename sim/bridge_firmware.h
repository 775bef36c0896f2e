// The camera firmware's command loop: 64-byte command packets from the
// command endpoint, sensor register access, frame control, the sensor clock,
// and the reply packets it queues on the reply endpoint.
#pragma once

#include <stdint.h>

#include <array>
#include <deque>
#include <optional>
#include <vector>

#include "platform/usb_bus.h"
#include "sim/sensor.h"

namespace sim {

constexpr uint32_t kPacketBytes = 64;
using Packet = std::array<uint8_t, kPacketBytes>;

namespace command {
constexpr uint8_t kFrameHalt = 0x02;
constexpr uint8_t kFrameGo = 0x03;
constexpr uint8_t kRegisterWrite = 0x04;
constexpr uint8_t kStartUp = 0x06;
constexpr uint8_t kFrameSize = 0x09;
constexpr uint8_t kFrameSetup = 0x0A;
constexpr uint8_t kRegisterRead = 0x0C;
constexpr uint8_t kExtendedSetting = 0x20;
constexpr uint8_t kHalfClock = 0x23;
constexpr uint8_t kHalfClockQuery = 0x24;
}  // namespace command

// How replies go wrong, when a test asks for it.
struct ReplyFaults {
  bool none = false;          // queue no reply packets at all
  bool firstOnly = false;     // of a two-packet answer, queue only the first
  uint32_t shortBytes = 0;    // nonzero: packets are this long
};

// What a command asks of the frame output.
enum class FrameAction { None, Halt, Go };

// The camera firmware's command loop as the camera's USB side uses it: two
// implementations, the C++ model below and 8051 firmware on the core.
class CommandLoop {
 public:
  virtual ~CommandLoop() = default;
  // Executes one command packet. Unknown command codes are accepted and
  // ignored, as the firmware's dispatch has no case for them.
  virtual FrameAction Execute(const Packet& packet, const ReplyFaults& faults) = 0;
  // Hands the oldest queued reply to an IN transfer of `capacity` bytes.
  host::UsbInResult SendReply(uint8_t* buffer, uint32_t capacity);
  size_t PendingReplies() const { return replies_.size(); }
  void DropReplies() { replies_.clear(); }
  // The frame size the last frame-size command set, if any.
  virtual std::optional<uint32_t> FrameSize() const = 0;
  virtual bool HalfClock() const = 0;
  // The CPU was reset: what the firmware kept in its RAM variables is gone.
  virtual void Restart() = 0;

 protected:
  // Queues the first `length` bytes of a reply packet as the USB core sends
  // it, faults applied.
  void Queue(const Packet& packet, const ReplyFaults& faults, uint32_t length = kPacketBytes);

 private:
  std::deque<std::vector<uint8_t>> replies_;
};

class BridgeFirmware final : public CommandLoop {
 public:
  explicit BridgeFirmware(Sensor& sensor) : sensor_(sensor) {}

  FrameAction Execute(const Packet& packet, const ReplyFaults& faults) override;
  std::optional<uint32_t> FrameSize() const override { return frameSize_; }
  bool HalfClock() const override { return halfClock_; }
  void Restart() override;

 private:
  // Queues a two-packet answer: an echo of the command, then `answer`.
  void Answer(const Packet& command, const Packet& answer, const ReplyFaults& faults);

  Sensor& sensor_;
  std::optional<uint32_t> frameSize_;  // set by the frame-size command
  bool halfClock_ = false;
};

}  // namespace sim

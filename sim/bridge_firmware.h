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

class BridgeFirmware {
 public:
  explicit BridgeFirmware(Sensor& sensor) : sensor_(sensor) {}

  // Executes one command packet. Unknown command codes are accepted and
  // ignored, as the firmware's dispatch has no case for them.
  FrameAction Execute(const Packet& packet, const ReplyFaults& faults);

  // Hands the oldest queued reply to an IN transfer of `capacity` bytes.
  host::UsbInResult SendReply(uint8_t* buffer, uint32_t capacity);
  size_t PendingReplies() const { return replies_.size(); }
  void DropReplies() { replies_.clear(); }

  std::optional<uint32_t> FrameSize() const { return frameSize_; }
  bool HalfClock() const { return halfClock_; }
  // The CPU was reset: what the firmware kept in its RAM variables is gone.
  void Restart();

 private:
  // Queues a two-packet answer: an echo of the command, then `answer`.
  void Answer(const Packet& command, const Packet& answer, const ReplyFaults& faults);
  void Queue(const Packet& packet, const ReplyFaults& faults);

  Sensor& sensor_;
  std::deque<std::vector<uint8_t>> replies_;
  std::optional<uint32_t> frameSize_;  // set by the frame-size command
  bool halfClock_ = false;
};

}  // namespace sim

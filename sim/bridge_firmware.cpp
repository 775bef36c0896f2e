#include "sim/bridge_firmware.h"

#include <string.h>

#include <algorithm>

namespace sim {

namespace {

uint16_t Be16(const uint8_t* bytes) { return uint16_t(bytes[0] << 8 | bytes[1]); }

uint32_t Le32(const uint8_t* bytes) {
  return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

}  // namespace

FrameAction BridgeFirmware::Execute(const Packet& packet, const ReplyFaults& faults) {
  switch (packet[0]) {
    case command::kFrameHalt:
      return FrameAction::Halt;
    case command::kFrameGo:
      return FrameAction::Go;
    case command::kRegisterWrite:
      sensor_.Write(packet[1], Be16(&packet[2]));
      return FrameAction::None;
    case command::kFrameSize:
      frameSize_ = Le32(&packet[1]);
      return FrameAction::None;
    case command::kRegisterRead: {
      Packet answer{};
      uint16_t value = sensor_.Read(packet[1]);
      answer[0] = uint8_t(value >> 8);
      answer[1] = uint8_t(value);
      Answer(packet, answer, faults);
      return FrameAction::None;
    }
    case command::kHalfClock:
      halfClock_ = packet[1] != 0;
      return FrameAction::None;
    case command::kHalfClockQuery: {
      Packet answer{};
      answer[0] = halfClock_ ? 1 : 0;
      Answer(packet, answer, faults);
      return FrameAction::None;
    }
    case command::kStartUp:        // powers the sensor up; the model's is always on
    case command::kFrameSetup:     // prepares the frame FIFOs; nothing to model
    case command::kExtendedSetting:
    default:
      return FrameAction::None;
  }
}

void BridgeFirmware::Answer(const Packet& command, const Packet& answer, const ReplyFaults& faults) {
  if (faults.none) return;
  // The first packet echoes the command, so the host can tell the answer to
  // this command from one left over from an earlier command.
  Queue(command, faults);
  if (!faults.firstOnly) Queue(answer, faults);
}

void CommandLoop::Queue(const Packet& packet, const ReplyFaults& faults, uint32_t length) {
  length = std::min(length, kPacketBytes);
  if (faults.shortBytes != 0) length = std::min(faults.shortBytes, length);
  replies_.emplace_back(packet.begin(), packet.begin() + length);
}

host::UsbInResult CommandLoop::SendReply(uint8_t* buffer, uint32_t capacity) {
  if (replies_.empty()) return {};
  std::vector<uint8_t> reply = std::move(replies_.front());
  replies_.pop_front();
  if (reply.size() > capacity) {
    // A packet larger than the transfer: the host controller reports an
    // overrun and keeps what fitted; the packet is gone either way.
    memcpy(buffer, reply.data(), capacity);
    return {USBD_STATUS_DATA_OVERRUN, capacity, true};  // more than the transfer could take
  }
  memcpy(buffer, reply.data(), reply.size());
  // A packet shorter than the transfer's room ends it (a 64-byte packet is
  // short on a 512-byte endpoint), so a reply is always one transfer.
  return {USBD_STATUS_SUCCESS, uint32_t(reply.size()), true};
}

void BridgeFirmware::Restart() {
  DropReplies();
  frameSize_.reset();
  halfClock_ = false;
}

}  // namespace sim

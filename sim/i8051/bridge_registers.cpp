#include "sim/i8051/bridge_registers.h"

#include <string.h>

#include <algorithm>

namespace sim::i8051 {

using namespace bridge;

void BridgeRegisters::Connect(Core& core) {
  core.ClaimExternalPage(kCpuControl >> 8);
  core.ClaimExternalPage(kCommandBuffer >> 8);
}

bool BridgeRegisters::OfferCommand(const uint8_t* data, uint32_t length) {
  if (commandCount_ != 0 || length == 0 || length > kPacketBytes) return false;
  commandBuffer_.fill(0);
  memcpy(commandBuffer_.data(), data, length);
  commandCount_ = static_cast<uint8_t>(length);
  return true;
}

bool BridgeRegisters::OfferSetup(const uint8_t setup[8], const uint8_t* data, uint32_t length) {
  if (controlState_ == ControlState::Pending || length > kPacketBytes) return false;
  for (int k = 0; k < 8; ++k) registers_[(kSetup & 0xFF) + k] = setup[k];
  bool toDevice = (setup[0] & 0x80) == 0;
  if (toDevice && length != 0) memcpy(controlBuffer_.data(), data, length);
  registers_[kControlCount & 0xFF] = static_cast<uint8_t>(toDevice ? length : 0);
  controlState_ = ControlState::Pending;
  return true;
}

bool BridgeRegisters::FinishSetup(uint8_t* data, uint32_t length, uint32_t& moved) {
  moved = 0;
  bool done = controlState_ == ControlState::Done;
  controlState_ = ControlState::Idle;
  if (!done) return false;
  if (registers_[kSetup & 0xFF] & 0x80) {
    moved = std::min<uint32_t>(length, std::min<uint32_t>(registers_[kControlCount & 0xFF], kPacketBytes));
    if (moved != 0) memcpy(data, controlBuffer_.data(), moved);
  } else {
    moved = length;
  }
  return true;
}

bool BridgeRegisters::TakeReply(BridgePacket& packet, uint32_t& length) {
  if (replies_.empty()) return false;
  packet = replies_.front().bytes;
  length = replies_.front().length;
  replies_.pop_front();
  return true;
}

void BridgeRegisters::Reset() {
  registers_.fill(0);
  commandBuffer_.fill(0);
  replyBuffer_.fill(0);
  commandCount_ = 0;
  frameSizeSet_ = false;
  controlState_ = ControlState::Idle;
  controlBuffer_.fill(0);
  i2cStatus_ = 0;
  replies_.clear();
}

uint8_t BridgeRegisters::ReadExternal(uint16_t address) {
  if (address >= kCommandBuffer && address < kCommandBuffer + kPacketBytes) return commandBuffer_[address - kCommandBuffer];
  if (address >= kReplyBuffer && address < kReplyBuffer + kPacketBytes) return replyBuffer_[address - kReplyBuffer];
  if (address >= kControlBuffer && address < kControlBuffer + kPacketBytes) return controlBuffer_[address - kControlBuffer];
  switch (address) {
    case kCpuControl:
      return 0;
    case kCommandCount:
      if (commandCount_ == 0) ++emptyPolls_;
      return commandCount_;
    case kReplyStatus:
      return replies_.size() >= kReplyQueueDepth ? 1 : 0;
    case kI2cControl:
      return i2cStatus_;
    case kControlEndpoint:
      return controlState_ == ControlState::Pending ? kControlPending : 0;
    case kFrameControl:
    case kUsbConnect:
      return 0;  // strobes
    default:
      // Unassigned addresses of the two pages read as 0xFF, like an undriven bus.
      if ((address >> 8) == (kCpuControl >> 8)) return registers_[address & 0xFF];
      return 0xFF;
  }
}

void BridgeRegisters::WriteExternal(uint16_t address, uint8_t value) {
  if (address >= kReplyBuffer && address < kReplyBuffer + kPacketBytes) {
    replyBuffer_[address - kReplyBuffer] = value;
    return;
  }
  if (address >= kControlBuffer && address < kControlBuffer + kPacketBytes) {
    controlBuffer_[address - kControlBuffer] = value;
    return;
  }
  if ((address >> 8) != (kCpuControl >> 8)) return;  // the command buffer is the USB core's
  registers_[address & 0xFF] = value;
  if (address >= kFrameSize && address < kFrameSize + 4) frameSizeSet_ = true;
  switch (address) {
    case kCommandCount:
      commandCount_ = 0;  // any write hands the buffer back
      break;
    case kReplyCount:
      // A full queue or a count past the buffer drops the packet: the
      // firmware is expected to wait on the status bit first.
      if (value != 0 && value <= kPacketBytes && replies_.size() < kReplyQueueDepth) replies_.push_back({replyBuffer_, value});
      break;
    case kFrameControl:
      if (value == kFrameGo) hardware_.FrameGo(FrameSize());
      else if (value == kFrameHalt) hardware_.FrameHalt();
      break;
    case kClock:
      hardware_.SetHalfClock(value & 1);
      break;
    case kI2cControl:
      RunI2c(value);
      break;
    case kControlEndpoint:
      if (controlState_ == ControlState::Pending && (value == kControlDone || value == kControlRefuse))
        controlState_ = value == kControlDone ? ControlState::Done : ControlState::Refused;
      break;
    case kUsbConnect:
      if (value == 1) {
        auto word = [&](int at) { return static_cast<uint16_t>(registers_[(kIdentity & 0xFF) + at] | registers_[(kIdentity & 0xFF) + at + 1] << 8); };
        hardware_.ReEnumerate(word(0), word(2), word(4));
      }
      break;
    default:
      break;
  }
}

// The controller runs a whole transaction at once: the model's bus is never
// busy, so the done bit is set by the time the firmware first looks.
void BridgeRegisters::RunI2c(uint8_t control) {
  uint8_t device = registers_[kI2cDevice & 0xFF] & 0x7F;
  uint8_t number = registers_[kI2cRegister & 0xFF];
  bool acknowledged = false;
  if (control == kI2cWrite) {
    uint16_t value = static_cast<uint16_t>(registers_[kI2cDataHigh & 0xFF] << 8 | registers_[kI2cDataLow & 0xFF]);
    acknowledged = hardware_.I2cWrite(device, number, value);
  } else if (control == kI2cRead) {
    uint16_t value = 0xFFFF;
    acknowledged = hardware_.I2cRead(device, number, value);
    if (!acknowledged) value = 0xFFFF;
    registers_[kI2cDataHigh & 0xFF] = static_cast<uint8_t>(value >> 8);
    registers_[kI2cDataLow & 0xFF] = static_cast<uint8_t>(value);
  } else {
    return;  // not a transaction: the status stays as it was
  }
  i2cStatus_ = static_cast<uint8_t>(kI2cDone | (acknowledged ? 0 : kI2cNoAcknowledge));
}

std::optional<uint32_t> BridgeRegisters::FrameSize() const {
  if (!frameSizeSet_) return std::nullopt;
  uint32_t bytes = 0;
  for (int k = 3; k >= 0; --k) bytes = bytes << 8 | registers_[(kFrameSize & 0xFF) + k];
  return bytes;
}

}  // namespace sim::i8051

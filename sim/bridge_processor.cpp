#include "sim/bridge_processor.h"

namespace sim {

BridgeProcessor::BridgeProcessor(Sensor& sensor) : sensor_(sensor) { registers_.Connect(core_); }

void BridgeProcessor::SetReset(bool hold) {
  if (hold) {
    held_ = true;
    return;
  }
  if (!held_) return;  // already running: a release without a hold changes nothing
  held_ = false;
  hung_ = false;
  core_.Reset();
  registers_.Reset();
  RunUntilIdle();
}

bool BridgeProcessor::Command(const uint8_t* data, uint32_t length) {
  if (held_ || hung_ || !registers_.OfferCommand(data, length)) return false;
  RunUntilIdle();
  return true;
}

bool BridgeProcessor::ControlRequest(bool toHost, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
                                     uint32_t length, uint32_t& moved) {
  moved = 0;
  const uint8_t setup[8] = {static_cast<uint8_t>(toHost ? 0xC0 : 0x40), request,
                            static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8),
                            static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
  if (!Running() || !registers_.OfferSetup(setup, data, length)) return false;
  RunUntilIdle();
  return registers_.FinishSetup(data, length, moved);
}

void BridgeProcessor::RunUntilIdle() {
  uint64_t polls = registers_.EmptyPolls();
  for (uint64_t ran = 0; ran < kIdleBudget; ran += 64) {
    core_.Run(64);
    if (core_.Stopped() != i8051::Core::Stop::None) break;
    if (registers_.EmptyPolls() != polls && !registers_.CommandBufferFull() && !registers_.SetupPending()) return;
  }
  hung_ = true;
}

bool BridgeProcessor::I2cWrite(uint8_t device, uint8_t number, uint16_t value) {
  if (device != kSensorI2cAddress) return false;
  sensor_.Write(number, value);
  return true;
}

bool BridgeProcessor::I2cRead(uint8_t device, uint8_t number, uint16_t& value) {
  if (device != kSensorI2cAddress) return false;
  value = sensor_.Read(number);
  return true;
}

void BridgeProcessor::FrameGo(std::optional<uint32_t> bytes) {
  ++events_.goes;
  events_.lastFrameSize = bytes;
}

void BridgeProcessor::FrameHalt() { ++events_.halts; }

void BridgeProcessor::SetHalfClock(bool on) { events_.halfClock = on; }

void BridgeProcessor::ReEnumerate(uint16_t vendorId, uint16_t productId, uint16_t release) {
  ++events_.reEnumerations;
  events_.vendorId = vendorId;
  events_.productId = productId;
  events_.release = release;
}

}  // namespace sim

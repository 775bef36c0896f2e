#include "sim/bridge_cpu.h"

#include <string.h>

#include <algorithm>

#include "sim/firmware_command_loop.h"

namespace sim {

namespace {

constexpr host::UsbTransferResult kStall{USBD_STATUS_STALL_PID, 0};

void Move(bool toHost, uint8_t* memory, uint8_t* data, uint32_t length) {
  if (length == 0) return;
  if (toHost) memcpy(data, memory, length);
  else memcpy(memory, data, length);
}

}  // namespace

BridgeCpu::BridgeCpu(bool cameraFirmwareRunning, BridgeProcessor* processor) : processor_(processor) {
  if (!cameraFirmwareRunning) return;
  std::vector<uint8_t> program =
      processor_ ? BuiltCameraFirmware()
                 : ComposeProgram({kCameraCommandLoop, kCameraVendorId, kCameraProductId, kCameraRelease});
  memcpy(internal_.data(), program.data(), std::min<size_t>(program.size(), internal_.size()));
  Release();
  reEnumerations_ = 0;  // it powered up as the camera
}

host::UsbTransferResult BridgeCpu::VendorRequest(bool toHost, uint8_t request, uint16_t value, uint8_t* data,
                                                 uint32_t length) {
  if (data == nullptr) length = 0;
  if (request == kLoadInternalRequest) {
    if (value == kCpuControlAddress || value == kCpuControlAlias) return CpuControl(toHost, data, length);
    return LoadInternal(toHost, value, data, length);
  }
  if (request == kLoadExternalRequest) return LoadExternal(toHost, value, data, length);
  return kStall;
}

bool BridgeCpu::CameraFirmwareRunning() const {
  if (processor_ == nullptr) return Runs(kCameraCommandLoop);
  // Once re-enumerated the USB core keeps the camera's identity, even if the
  // program stops answering later.
  return state_ == State::Running && processor_->Events().reEnumerations != processorReEnumerations_;
}

DeviceIdentity BridgeCpu::Identity() const {
  if (!CameraFirmwareRunning()) return kBridgeIdentity;
  if (processor_ != nullptr) {
    const BridgeEvents& events = processor_->Events();
    return {events.vendorId, events.productId, events.release};
  }
  return {program_->vendorId, program_->productId, program_->release};
}

host::UsbTransferResult BridgeCpu::LoadInternal(bool toHost, uint16_t address, uint8_t* data, uint32_t length) {
  if (uint32_t(address) + length > kInternalMemoryBytes) return kStall;
  Move(toHost, internal_.data() + address, data, length);
  return {USBD_STATUS_SUCCESS, length};
}

host::UsbTransferResult BridgeCpu::LoadExternal(bool toHost, uint16_t address, uint8_t* data, uint32_t length) {
  // Served by the running program, not by the bridge core: with the
  // processor in reset, or a program that has no such request, nobody answers.
  if (processor_ != nullptr) {
    uint32_t moved = 0;
    if (state_ != State::Running ||
        !processor_->ControlRequest(toHost, kLoadExternalRequest, address, 0, data, length, moved))
      return kStall;
    return {USBD_STATUS_SUCCESS, moved};
  }
  if (!Runs(kServesExternalLoad)) return kStall;
  if (address < kExternalMemoryStart || uint32_t(address) + length > kExternalMemoryEnd) return kStall;
  Move(toHost, external_.data() + (address - kExternalMemoryStart), data, length);
  return {USBD_STATUS_SUCCESS, length};
}

host::UsbTransferResult BridgeCpu::CpuControl(bool toHost, uint8_t* data, uint32_t length) {
  if (length != 1) return kStall;
  if (toHost) {
    data[0] = state_ == State::Reset ? 1 : 0;
    return {USBD_STATUS_SUCCESS, 1};
  }
  // Bit 0 holds the processor in reset; the other bits are not writable.
  if (data[0] & 1) {
    state_ = State::Reset;
    program_.reset();
    if (processor_ != nullptr) processor_->SetReset(true);
  } else if (state_ == State::Reset) {
    Release();
  }
  return {USBD_STATUS_SUCCESS, 1};
}

bool BridgeCpu::Runs(uint8_t capability) const {
  return state_ == State::Running && program_ && (program_->capabilities & capability) != 0;
}

// The processor starts at address 0 with whatever memory holds. A partial or
// corrupted image fails its check and runs as an unknown program: the bridge
// keeps its own identity and answers only what its core answers.
void BridgeCpu::Release() {
  state_ = State::Running;
  if (processor_ != nullptr) {
    processorReEnumerations_ = processor_->Events().reEnumerations;
    memcpy(processor_->Memory(), internal_.data(), internal_.size());
    processor_->SetReset(false);
  } else {
    program_ = IdentifyProgram(internal_.data(), kInternalMemoryBytes);
  }
  if (CameraFirmwareRunning()) ++reEnumerations_;
}

}  // namespace sim

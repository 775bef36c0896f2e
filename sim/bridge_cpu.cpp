#include "sim/bridge_cpu.h"

#include <string.h>

#include <algorithm>

namespace sim {

namespace {

constexpr host::UsbTransferResult kStall{USBD_STATUS_STALL_PID, 0};
constexpr size_t kMarkerBytes = sizeof(kCameraFirmwareMarker) - 1;

void Move(bool toHost, uint8_t* memory, uint8_t* data, uint32_t length) {
  if (toHost) memcpy(data, memory, length);
  else memcpy(memory, data, length);
}

}  // namespace

BridgeCpu::BridgeCpu(bool cameraFirmwareRunning)
    : state_(cameraFirmwareRunning ? State::RunningCamera : State::Reset) {
  // A camera that starts with its firmware running has that firmware in
  // memory, so a reset cycle without a new download brings it back.
  if (cameraFirmwareRunning) memcpy(internal_.data() + 0x100, kCameraFirmwareMarker, kMarkerBytes);
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

host::UsbTransferResult BridgeCpu::LoadInternal(bool toHost, uint16_t address, uint8_t* data, uint32_t length) {
  // The core refuses a load that would run past the end of internal memory
  // rather than wrapping or truncating it.
  if (uint32_t(address) + length > kInternalMemoryBytes) return kStall;
  Move(toHost, internal_.data() + address, data, length);
  return {USBD_STATUS_SUCCESS, length};
}

host::UsbTransferResult BridgeCpu::LoadExternal(bool toHost, uint16_t address, uint8_t* data, uint32_t length) {
  // Served by the running code, not by the bridge core: with the CPU in
  // reset nobody answers.
  if (state_ == State::Reset) return kStall;
  if (address < kInternalMemoryBytes || uint32_t(address) + length > external_.size()) return kStall;
  Move(toHost, external_.data() + address, data, length);
  return {USBD_STATUS_SUCCESS, length};
}

host::UsbTransferResult BridgeCpu::CpuControl(bool toHost, uint8_t* data, uint32_t length) {
  if (length != 1) return kStall;
  if (toHost) {
    data[0] = state_ == State::Reset ? 1 : 0;
    return {USBD_STATUS_SUCCESS, 1};
  }
  // Bit 0 holds the CPU in reset; the other bits are not writable.
  if (data[0] & 1) state_ = State::Reset;
  else if (state_ == State::Reset) Release();
  return {USBD_STATUS_SUCCESS, 1};
}

void BridgeCpu::Release() {
  auto end = internal_.end();
  bool camera = std::search(internal_.begin(), end, kCameraFirmwareMarker, kCameraFirmwareMarker + kMarkerBytes) != end;
  state_ = camera ? State::RunningCamera : State::RunningOther;
}

}  // namespace sim

// Fuzz target: a client's data format for the capture pin, given at creation
// (the pin's SetDataFormat without an old format, then its Create) or to an
// existing stopped pin; an accepted format is then taken to acquire and back.
// Input: a mode byte (bit 0: create, bit 1: acquire), a flag byte (bit 0:
// keep the format's own FormatSize, else its length) and the format.
#include <stdlib.h>
#include <string.h>

#include "fuzz/fuzz_camera.h"

namespace {

// One pin, created with the offered format, for the set-format inputs; a
// create input closes it first (the pin has one instance) and makes it anew.
PKSPIN standingPin = nullptr;

void CreateStandingPin(host::KsDeviceHost& device) {
  const std::vector<uint8_t>& offered = fuzz::OfferedFormat();
  NTSTATUS status;
  standingPin = device.CreatePin(fuzz::Filter(), 0, offered.data(), ULONG(offered.size()), &status);
  if (standingPin == nullptr) abort();
}

// Acquire claims the camera with the format and sizes its buffers from it;
// stop gives everything back.
void AcquireAndStop(host::KsDeviceHost& device, PKSPIN pin) {
  device.SetPinState(pin, KSSTATE_ACQUIRE);
  if (device.SetPinState(pin, KSSTATE_STOP) != STATUS_SUCCESS) abort();
}

void CreateWithFormat(host::KsDeviceHost& device, const std::vector<uint8_t>& format, bool acquire) {
  fuzz::PoolBalance balance("a pin created with a fuzzed format");
  NTSTATUS status;
  PKSPIN pin = device.CreatePin(fuzz::Filter(), 0, format.data(), ULONG(format.size()), &status);
  if ((pin != nullptr) != NT_SUCCESS(status)) abort();
  if (pin == nullptr) return;
  if (acquire) AcquireAndStop(device, pin);
  if (device.ClosePin(pin) != STATUS_SUCCESS) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InputReader input(data, size);
  uint32_t mode = input.Take(1);
  bool keepFormatSize = (input.Take(1) & 1) != 0;
  std::vector<uint8_t> format = input.Rest();
  if (!keepFormatSize && format.size() >= sizeof(ULONG)) {
    ULONG length = ULONG(format.size());
    memcpy(format.data(), &length, sizeof(length));
  }
  host::KsDeviceHost& device = fuzz::Camera().KsDevice();
  if (standingPin == nullptr) CreateStandingPin(device);
  if (mode & 1) {
    if (device.ClosePin(standingPin) != STATUS_SUCCESS) abort();
    CreateWithFormat(device, format, (mode & 2) != 0);
    CreateStandingPin(device);
    return 0;
  }
  fuzz::PoolBalance balance("a new format for a stopped pin");
  NTSTATUS status = device.SetPinFormat(standingPin, format.data(), ULONG(format.size()));
  if (NT_SUCCESS(status) && (mode & 2)) AcquireAndStop(device, standingPin);
  return 0;
}

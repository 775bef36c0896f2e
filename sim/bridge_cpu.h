// The bridge's 8051 as the host sees it while loading firmware: internal
// memory written by the bridge core's own load request (0xA0), the CPU reset
// register, and external memory, which only code already running on the CPU
// can write (0xA3).
#pragma once

#include <stdint.h>

#include <array>
#include <vector>

#include "platform/usb_bus.h"

namespace sim {

constexpr uint8_t kLoadInternalRequest = 0xA0;
constexpr uint8_t kLoadExternalRequest = 0xA3;
constexpr uint32_t kInternalMemoryBytes = 0x1B40;  // addresses 0x0000..0x1B3F
constexpr uint16_t kCpuControlAddress = 0xE600;
constexpr uint16_t kCpuControlAlias = 0x7F92;      // the same register on the older bridge map
// Code that carries these eight bytes anywhere in internal memory is the
// camera firmware: once released it re-enumerates with the camera identity.
constexpr char kCameraFirmwareMarker[] = "KSCAM-FW";

class BridgeCpu {
 public:
  // What the CPU is doing.
  enum class State {
    Reset,           // held in reset (the bare bridge powers up this way)
    RunningOther,    // running code that is not the camera firmware (a loader)
    RunningCamera,   // running the camera firmware
  };

  explicit BridgeCpu(bool cameraFirmwareRunning);

  // Serves the firmware-load vendor requests; anything else stalls.
  host::UsbTransferResult VendorRequest(bool toHost, uint8_t request, uint16_t value, uint8_t* data,
                                        uint32_t length);

  State CurrentState() const { return state_; }
  bool CameraFirmwareRunning() const { return state_ == State::RunningCamera; }
  const std::array<uint8_t, kInternalMemoryBytes>& InternalMemory() const { return internal_; }

 private:
  host::UsbTransferResult LoadInternal(bool toHost, uint16_t address, uint8_t* data, uint32_t length);
  host::UsbTransferResult LoadExternal(bool toHost, uint16_t address, uint8_t* data, uint32_t length);
  host::UsbTransferResult CpuControl(bool toHost, uint8_t* data, uint32_t length);
  void Release();

  State state_;
  std::array<uint8_t, kInternalMemoryBytes> internal_{};
  std::vector<uint8_t> external_ = std::vector<uint8_t>(0x10000);
};

}  // namespace sim

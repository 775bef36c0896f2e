// The bridge's 8051 as the host sees it while loading firmware: internal
// memory and the processor's reset register, written by the bridge core's own
// load request (0xA0), and external memory, which only a program running on
// the processor can write (0xA3).
//
// Loads that do not fit the memory they address are refused with a stall
// rather than wrapped: the bridge core checks the range before it moves a
// byte, so a refused load leaves memory as it was.
#pragma once

#include <stdint.h>

#include <array>
#include <optional>
#include <vector>

#include "platform/usb_bus.h"
#include "sim/bridge_processor.h"
#include "sim/firmware_identity.h"
#include "sim/usb_identity.h"

namespace sim {

constexpr uint8_t kLoadInternalRequest = 0xA0;
constexpr uint8_t kLoadExternalRequest = 0xA3;
constexpr uint32_t kInternalMemoryBytes = 0x1B40;  // addresses 0x0000..0x1B3F
// External memory lies between internal memory and the register block at 0xE000.
constexpr uint32_t kExternalMemoryStart = kInternalMemoryBytes;
constexpr uint32_t kExternalMemoryEnd = 0xE000;
constexpr uint16_t kCpuControlAddress = 0xE600;
constexpr uint16_t kCpuControlAlias = 0x7F92;  // the same register on the older bridge map

class BridgeCpu {
 public:
  enum class State {
    Reset,    // held in reset (the bare bridge powers up this way)
    Running,  // running whatever internal memory holds
  };

  // With the camera firmware already running, memory holds a camera program
  // (the built firmware when there is a processor, else a minimal one that
  // identifies itself), so a reset cycle without a new download brings it back.
  // Without `processor` the CPU only checks what it would run (the identity
  // block); with it, the processor runs memory's content, and the camera
  // firmware is running once that program has re-enumerated.
  BridgeCpu(bool cameraFirmwareRunning, BridgeProcessor* processor);

  // Serves the firmware-load vendor requests; anything else stalls.
  host::UsbTransferResult VendorRequest(bool toHost, uint8_t request, uint16_t value, uint8_t* data,
                                        uint32_t length);

  State CurrentState() const { return state_; }
  bool CameraFirmwareRunning() const;
  // What the USB core presents: the bridge's own identity until the camera
  // firmware runs and re-enumerates with the identity in its block.
  DeviceIdentity Identity() const;
  // How often the camera firmware started and re-enumerated.
  uint32_t ReEnumerations() const { return reEnumerations_; }
  const std::array<uint8_t, kInternalMemoryBytes>& InternalMemory() const { return internal_; }

 private:
  host::UsbTransferResult LoadInternal(bool toHost, uint16_t address, uint8_t* data, uint32_t length);
  host::UsbTransferResult LoadExternal(bool toHost, uint16_t address, uint8_t* data, uint32_t length);
  host::UsbTransferResult CpuControl(bool toHost, uint8_t* data, uint32_t length);
  bool Runs(uint8_t capability) const;
  void Release();

  BridgeProcessor* processor_;
  uint32_t processorReEnumerations_ = 0;  // the processor's count at the last release
  State state_ = State::Reset;
  // The running program, when its identity block checked; a program without
  // one runs too, but serves nothing and never re-enumerates.
  std::optional<FirmwareIdentity> program_;
  uint32_t reEnumerations_ = 0;
  std::array<uint8_t, kInternalMemoryBytes> internal_{};
  std::vector<uint8_t> external_ = std::vector<uint8_t>(kExternalMemoryEnd - kExternalMemoryStart);
};

}  // namespace sim

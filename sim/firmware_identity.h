// How the simulated bridge recognises a program in its internal memory: the
// identity block at 0x0080 and the CRC over the regions the block names
// (layout in firmware/README.md). The C++ command model does not execute 8051 code;
// a program whose block checks runs with the capabilities it declares.
#pragma once

#include <stdint.h>

#include <optional>
#include <utility>
#include <vector>

namespace sim {

constexpr uint16_t kIdentityAddress = 0x0080;
constexpr uint32_t kIdentityBytes = 32;
constexpr uint32_t kMaxCheckedRegions = 4;

// Capability bits of the identity block.
constexpr uint8_t kServesExternalLoad = 0x01;  // answers the 0xA3 load request
constexpr uint8_t kCameraCommandLoop = 0x02;   // the camera firmware: re-enumerates as the camera

struct FirmwareIdentity {
  uint8_t capabilities = 0;
  uint16_t vendorId = 0;  // presented after re-enumeration (camera firmware only)
  uint16_t productId = 0;
  uint16_t release = 0;
};

// CRC-16, polynomial 0x1021, initial value 0xFFFF, not reflected.
uint16_t Crc16(const uint8_t* data, size_t bytes, uint16_t crc = 0xFFFF);

// The program in `memory` (internal memory from address 0), or nothing when
// the block is absent, names regions outside memory or not covering itself,
// or the CRC does not match.
std::optional<FirmwareIdentity> IdentifyProgram(const uint8_t* memory, uint32_t bytes);

// A minimal program that identifies itself: a jump over the vectors, the
// identity block, an endless loop; one checked region. For a camera that
// powers up with its firmware already loaded, and for tests.
std::vector<uint8_t> ComposeProgram(const FirmwareIdentity& identity);

}  // namespace sim

#include "sim/firmware_identity.h"

#include <string.h>

namespace sim {

namespace {

constexpr uint8_t kMagic[4] = {'K', 'S', 'F', 'W'};
constexpr uint8_t kLayoutVersion = 1;
constexpr uint32_t kCrcOffset = 14;      // within the block; read as zero while checking
constexpr uint32_t kRegionsOffset = 16;  // {start, length} pairs

uint16_t Le16(const uint8_t* at) { return uint16_t(at[0] | at[1] << 8); }

void PutLe16(uint8_t* at, uint16_t value) {
  at[0] = uint8_t(value);
  at[1] = uint8_t(value >> 8);
}

struct Region {
  uint32_t start;
  uint32_t length;
};

// The checked regions, or nothing when one is empty or leaves memory, or the
// first does not contain the block itself.
std::optional<std::vector<Region>> RegionsOf(const uint8_t* block, uint32_t memoryBytes) {
  uint32_t count = block[6];
  if (count == 0 || count > kMaxCheckedRegions) return std::nullopt;
  std::vector<Region> regions;
  for (uint32_t i = 0; i < count; ++i) {
    Region region{Le16(block + kRegionsOffset + 4 * i), Le16(block + kRegionsOffset + 4 * i + 2)};
    if (region.length == 0 || region.start + region.length > memoryBytes) return std::nullopt;
    regions.push_back(region);
  }
  if (regions[0].start > kIdentityAddress || regions[0].start + regions[0].length < kIdentityAddress + kIdentityBytes)
    return std::nullopt;
  return regions;
}

}  // namespace

uint16_t Crc16(const uint8_t* data, size_t bytes, uint16_t crc) {
  for (size_t i = 0; i < bytes; ++i) {
    crc ^= uint16_t(data[i] << 8);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? uint16_t(crc << 1 ^ 0x1021) : uint16_t(crc << 1);
  }
  return crc;
}

std::optional<FirmwareIdentity> IdentifyProgram(const uint8_t* memory, uint32_t bytes) {
  if (bytes < kIdentityAddress + kIdentityBytes) return std::nullopt;
  uint8_t block[kIdentityBytes];
  memcpy(block, memory + kIdentityAddress, kIdentityBytes);
  if (memcmp(block, kMagic, sizeof kMagic) != 0 || block[4] != kLayoutVersion) return std::nullopt;
  auto regions = RegionsOf(block, bytes);
  if (!regions) return std::nullopt;
  uint16_t stored = Le16(block + kCrcOffset);
  // The CRC is computed with its own two bytes as zero.
  std::vector<uint8_t> covered(memory, memory + bytes);
  covered[kIdentityAddress + kCrcOffset] = covered[kIdentityAddress + kCrcOffset + 1] = 0;
  uint16_t crc = 0xFFFF;
  for (const Region& region : *regions) crc = Crc16(covered.data() + region.start, region.length, crc);
  if (crc != stored) return std::nullopt;
  return FirmwareIdentity{block[5], Le16(block + 8), Le16(block + 10), Le16(block + 12)};
}

std::vector<uint8_t> ComposeProgram(const FirmwareIdentity& identity) {
  constexpr uint16_t kEntry = kIdentityAddress + kIdentityBytes;
  std::vector<uint8_t> image(kEntry, 0x00);  // NOPs between the vectors
  image[0] = 0x02;                           // LJMP entry
  image[1] = uint8_t(kEntry >> 8);
  image[2] = uint8_t(kEntry);
  image.insert(image.end(), {0x80, 0xFE});  // SJMP $
  uint8_t* block = image.data() + kIdentityAddress;
  memcpy(block, kMagic, sizeof kMagic);
  block[4] = kLayoutVersion;
  block[5] = identity.capabilities;
  block[6] = 1;
  PutLe16(block + 8, identity.vendorId);
  PutLe16(block + 10, identity.productId);
  PutLe16(block + 12, identity.release);
  PutLe16(block + kRegionsOffset, 0);
  PutLe16(block + kRegionsOffset + 2, uint16_t(image.size()));
  PutLe16(block + kCrcOffset, Crc16(image.data(), image.size()));
  return image;
}

}  // namespace sim

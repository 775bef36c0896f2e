// Reads Intel HEX files (data and end-of-file records) into a 64 KiB space.
#pragma once

#include <stdint.h>

#include <string>

namespace sim::i8051 {

// Loads `path` into `space` (65536 bytes). False when the file cannot be
// read, a record is malformed or fails its checksum, a record type other than
// data or end appears, or the end record is missing. `end`, when given,
// receives one past the highest address loaded.
bool LoadIntelHex(const std::string& path, uint8_t* space, uint32_t* end = nullptr);
// The same for text already in memory.
bool ParseIntelHex(const std::string& text, uint8_t* space, uint32_t* end = nullptr);

}  // namespace sim::i8051

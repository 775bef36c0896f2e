#include "sim/i8051/intel_hex.h"

#include <fstream>
#include <sstream>
#include <vector>

namespace sim::i8051 {

namespace {

int Digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The bytes of one record line after the colon, or false if it is not hex.
bool RecordBytes(const std::string& line, std::vector<uint8_t>& bytes) {
  if (line.size() < 11 || line[0] != ':' || (line.size() - 1) % 2 != 0) return false;
  bytes.clear();
  for (size_t at = 1; at < line.size(); at += 2) {
    int high = Digit(line[at]), low = Digit(line[at + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  uint8_t sum = 0;
  for (uint8_t byte : bytes) sum = static_cast<uint8_t>(sum + byte);
  return sum == 0 && bytes.size() == 5u + bytes[0];
}

}  // namespace

bool ParseIntelHex(const std::string& text, uint8_t* space, uint32_t* end) {
  std::istringstream in(text);
  std::vector<uint8_t> bytes;
  uint32_t highest = 0;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (!RecordBytes(line, bytes)) return false;
    uint8_t type = bytes[3];
    if (type == 1) {
      if (end != nullptr) *end = highest;
      return true;
    }
    if (type != 0) return false;
    uint32_t address = static_cast<uint32_t>(bytes[1] << 8 | bytes[2]);
    if (address + bytes[0] > 0x10000) return false;
    for (uint8_t k = 0; k < bytes[0]; ++k) space[address + k] = bytes[4 + k];
    if (bytes[0] != 0 && address + bytes[0] > highest) highest = address + bytes[0];
  }
  return false;
}

bool LoadIntelHex(const std::string& path, uint8_t* space, uint32_t* end) {
  std::ifstream in(path);
  if (!in) return false;
  std::stringstream text;
  text << in.rdbuf();
  return ParseIntelHex(text.str(), space, end);
}

}  // namespace sim::i8051

// Test-side access to a PE file's bytes: reading it, finding its headers,
// directories and strings, and patching fields to make hostile variants.
#pragma once

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace loader_test {

struct PeFile {
  std::vector<uint8_t> bytes;

  static PeFile Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return PeFile{std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>())};
  }
  bool Empty() const { return bytes.empty(); }

  template <typename T>
  T Get(size_t offset) const {
    T value;
    memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
  }
  template <typename T>
  void Set(size_t offset, T value) {
    memcpy(bytes.data() + offset, &value, sizeof value);
  }

  size_t Pe() const { return Get<uint32_t>(0x3c); }
  size_t Coff() const { return Pe() + 4; }
  size_t Optional() const { return Pe() + 24; }
  size_t Directory(int index) const { return Optional() + 112 + 8 * index; }
  uint16_t SectionCount() const { return Get<uint16_t>(Coff() + 2); }
  size_t Section(int index) const { return Optional() + Get<uint16_t>(Coff() + 16) + 40 * index; }
  std::string SectionName(int index) const {
    char name[9] = {};
    memcpy(name, bytes.data() + Section(index), 8);
    return name;
  }
  int SectionNamed(const std::string& name) const {
    for (int i = 0; i < SectionCount(); ++i) {
      if (SectionName(i) == name) return i;
    }
    return -1;
  }
  uint64_t ImageBase() const { return Get<uint64_t>(Optional() + 24); }
  uint32_t HeadersSize() const { return Get<uint32_t>(Optional() + 60); }
  // The file offset of an RVA inside a section's raw data, or 0.
  size_t Offset(uint32_t rva) const {
    for (int i = 0; i < SectionCount(); ++i) {
      uint32_t va = Get<uint32_t>(Section(i) + 12), raw = Get<uint32_t>(Section(i) + 16);
      if (rva >= va && rva - va < raw) return Get<uint32_t>(Section(i) + 20) + (rva - va);
    }
    return 0;
  }
  // Adds a zero-filled readable and writable data section of `size` bytes at
  // the end of the image and the file; returns its RVA.
  uint32_t AppendSection(uint32_t size) {
    const int index = SectionCount();
    const uint32_t rva = Get<uint32_t>(Optional() + 56);
    const uint32_t raw = uint32_t((bytes.size() + 511) & ~size_t{511});
    const uint32_t rawSize = (size + 511) & ~511u;
    const size_t header = Section(index);
    memset(bytes.data() + header, 0, 40);
    memcpy(bytes.data() + header, ".test", 5);
    Set<uint32_t>(header + 8, size);
    Set<uint32_t>(header + 12, rva);
    Set<uint32_t>(header + 16, rawSize);
    Set<uint32_t>(header + 20, raw);
    Set<uint32_t>(header + 36, 0xC0000040);  // initialised data, readable, writable
    Set<uint16_t>(Coff() + 2, uint16_t(index + 1));
    Set<uint32_t>(Optional() + 56, rva + ((size + 0xfff) & ~0xfffu));
    bytes.resize(raw + rawSize);
    return rva;
  }
  uint8_t* At(uint32_t rva) { return bytes.data() + Offset(rva); }

  // The file offset of the first occurrence of `text` (with its terminating zero).
  size_t Find(const std::string& text) const {
    auto it = std::search(bytes.begin(), bytes.end(), text.c_str(), text.c_str() + text.size() + 1);
    return it == bytes.end() ? 0 : static_cast<size_t>(it - bytes.begin());
  }
};

}  // namespace loader_test

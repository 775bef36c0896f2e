// Writes the fuzz targets' seed corpora: valid requests built from what the
// driver itself offers (its range, its format, its property table, its
// settings names, its configuration descriptor, its firmware), each in the
// input layout its target reads, plus a few near misses. Run it as
// `fuzz_seed_writer tests/fuzz/corpus` after changing a target's layout.
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "controls/property_set.h"
#include "fuzz/fuzz_camera.h"
#include "sim/usb_identity.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

fs::path root;

void Write(const char* target, const std::string& name, const Bytes& bytes) {
  fs::create_directories(root / target);
  std::ofstream(root / target / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                              std::streamsize(bytes.size()));
}

void Put(Bytes& out, uint32_t value, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) out.push_back(uint8_t(value >> (8 * i)));
}

Bytes Join(Bytes head, const Bytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// The range list holds one range after its KSMULTIPLE_ITEM header.
void IntersectSeeds() {
  Bytes ranges = fuzz::OfferedRanges();
  Bytes range(ranges.begin() + sizeof(KSMULTIPLE_ITEM), ranges.end());
  ULONG formatBytes = ULONG(fuzz::OfferedFormat().size());
  for (ULONG size : {ULONG(0), formatBytes, formatBytes - 1, ULONG(sizeof(KSDATAFORMAT))}) {
    Bytes head;
    Put(head, size, 2);
    Put(head, 1, 1);
    Write("intersect", "own-range-buffer-" + std::to_string(size), Join(head, range));
  }
  Bytes head;
  Put(head, formatBytes, 2);
  Put(head, 0, 1);
  Write("intersect", "header-only", Join(head, Bytes(range.begin(), range.begin() + sizeof(KSDATARANGE))));
}

void SetDataFormatSeeds() {
  const Bytes& format = fuzz::OfferedFormat();
  for (uint32_t mode = 0; mode < 4; ++mode) {
    Write("set_data_format", "offered-mode-" + std::to_string(mode), Join({uint8_t(mode), 1}, format));
    Bytes shorter(format.begin(), format.end() - 1);
    Write("set_data_format", "one-byte-short-mode-" + std::to_string(mode), Join({uint8_t(mode), 0}, shorter));
  }
}

// Every property got, and set to a value inside its usual range; the region
// with its own record.
void PropertySeeds() {
  for (ULONG id = 0; id < kCameraPropertyCount; ++id) {
    for (ULONG flags : {ULONG(KSPROPERTY_TYPE_GET), ULONG(KSPROPERTY_TYPE_SET), ULONG(KSPROPERTY_TYPE_BASICSUPPORT)}) {
      bool region = id == kPropRegion;
      ULONG length = region ? sizeof(CameraRoiValue) : sizeof(CameraPropertyValue);
      Bytes request(length, 0);
      auto* property = reinterpret_cast<KSPROPERTY*>(request.data());
      property->Set = kCameraPropertySet;
      property->Id = id;
      property->Flags = flags;
      Bytes data = request;
      if (region) {
        LONG values[] = {0, 0, 0, 640, 480};
        memcpy(data.data() + sizeof(KSPROPERTY), values, sizeof(values));
      } else {
        LONG value = 1;
        memcpy(data.data() + sizeof(KSPROPERTY), &value, sizeof(value));
      }
      Bytes head = {uint8_t(length), uint8_t(length), 0};
      Write("property", "id-" + std::to_string(id) + "-flags-" + std::to_string(flags), Join(Join(head, request), data));
    }
  }
}

// Values as the settings page writes them (DWORDs), and a string and a short
// value in their place. Name selectors index the target's name table.
void RegistrySeeds() {
  Bytes dwords;
  for (uint8_t name = 0; name < 24; ++name) {
    dwords.insert(dwords.end(), {name, REG_DWORD, 4});
    Put(dwords, name == 0 ? 3000 : 1, 4);
  }
  Write("registry", "every-name-dword", dwords);
  Write("registry", "exposure-string", {1, REG_SZ, 4, '5', 0, 0, 0});
  Write("registry", "gain-two-bytes", {2, REG_DWORD, 2, 7, 0});
  Write("registry", "region-qword", {22, REG_QWORD, 8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F});
}

void ConfigurationSeeds() {
  Bytes set = sim::ConfigurationDescriptorSet();
  Write("config_descriptor", "camera", Join({0, 0}, set));
  Write("config_descriptor", "camera-selection-refused", Join({1, 0}, set));
  Write("config_descriptor", "camera-header-only", Join({2, 9}, set));
}

void HexSeeds(const char* hexFile) {
  std::ifstream in(hexFile, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.empty()) return;
  // The whole loader image, and its first few records with the end record.
  Write("intel_hex", "loader", Bytes(text.begin(), text.end()));
  std::string head;
  size_t at = 0;
  for (int line = 0; line < 4 && at < text.size(); ++line) {
    size_t end = text.find('\n', at);
    head += text.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at);
    at = end == std::string::npos ? text.size() : end + 1;
  }
  head += ":00000001FF\n";
  Write("intel_hex", "four-records", Bytes(head.begin(), head.end()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: fuzz_seed_writer <corpus directory> [loader.hex]\n");
    return 2;
  }
  root = argv[1];
  IntersectSeeds();
  SetDataFormatSeeds();
  PropertySeeds();
  RegistrySeeds();
  ConfigurationSeeds();
  if (argc > 2) HexSeeds(argv[2]);
  return 0;
}

// Fuzz target: Intel HEX text as the firmware loader reads it into the
// bridge's 64 KiB space. A parse either fails or says how far it loaded;
// nothing is written outside the space either way.
#include <stdlib.h>

#include <memory>
#include <string>

#include "sim/i8051/intel_hex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr uint32_t kSpace = 65536;
  std::unique_ptr<uint8_t[]> space(new uint8_t[kSpace]);
  uint32_t end = 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  if (sim::i8051::ParseIntelHex(text, space.get(), &end) && end > kSpace) abort();
  return 0;
}

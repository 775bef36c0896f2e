// libFuzzer target: any byte string given to the image loader is either
// loaded (and unloaded) or refused with a reason, never a crash.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "platform/pe_image.h"

namespace {
__attribute__((ms_abi)) void Stub() {}

const std::vector<host::PeExport>& Exports() {
  static const std::vector<host::PeExport> exports = [] {
    std::vector<host::PeExport> list;
    for (const char* name : {"ExAllocatePoolWithTag", "ExFreePoolWithTag", "KeWaitForSingleObject", "KeBugCheckEx",
                             "KeQueryUnbiasedInterruptTime"}) {
      list.push_back({"ntoskrnl.exe", name, reinterpret_cast<void*>(&Stub)});
    }
    list.push_back({"hal.dll", "KeQueryPerformanceCounter", reinterpret_cast<void*>(&Stub)});
    return list;
  }();
  return exports;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  host::PeLoadResult result = host::LoadPeImage(data, size, Exports());
  bool loaded = result.status == host::PeLoadStatus::kSuccess;
  if (loaded != (result.image != nullptr) || loaded != result.error.empty()) abort();
  if (loaded && !result.image->Contains(result.image->EntryPoint())) abort();
  return 0;
}

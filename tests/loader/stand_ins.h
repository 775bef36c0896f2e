// Stand-ins for the kernel functions the fixture driver imports, called with
// the Windows x64 convention; each records how it was called.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/pe_image.h"

namespace loader_test {

struct KernelCalls {
  // Set by the test.
  bool failAllocation = false;
  int32_t waitResult = 0;
  int64_t counter = 0x1234567890;
  uint64_t interruptTime = 0x0badc0ffee;
  uintptr_t imageBase = 0, imageSize = 0;  // where a bug check's caller should be
  // Recorded.
  int allocations = 0, waits = 0, counterReads = 0, interruptTimeReads = 0, bugChecks = 0;
  uint32_t poolType = 0;
  uint64_t allocationSize = 0;
  uint32_t allocationTag = 0;
  void* block = nullptr;
  void* waitObject = nullptr;
  uint32_t waitReason = 99;
  int waitMode = 99, alertable = 99;
  int64_t timeout = 0;
  void* freedBlock = nullptr;
  uint32_t freedTag = 0;
};
KernelCalls& Kernel();

// The stand-in for KeBugCheckEx prints its arguments and ends the process
// with this code, as the system would stop.
constexpr int kBugCheckExitCode = 77;

// Every function the fixture imports, under module names in another case
// than the image spells them (the match ignores case).
std::vector<host::PeExport> FixtureExports();

// The fixture image of that variant ("plain", "constructor"), or an empty
// string when this build has no cross compiler to make it.
std::string FixturePath(const std::string& variant);

}  // namespace loader_test

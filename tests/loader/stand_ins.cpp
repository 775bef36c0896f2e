#include "loader/stand_ins.h"

#include <stdio.h>
#include <unistd.h>

namespace loader_test {
namespace {

alignas(16) uint8_t poolBlock[64];

__attribute__((ms_abi)) void* AllocatePool(uint32_t type, uint64_t size, uint32_t tag) {
  KernelCalls& k = Kernel();
  k.allocations++;
  k.poolType = type;
  k.allocationSize = size;
  k.allocationTag = tag;
  k.block = k.failAllocation ? nullptr : poolBlock;
  return k.block;
}

__attribute__((ms_abi)) void FreePool(void* block, uint32_t tag) {
  Kernel().freedBlock = block;
  Kernel().freedTag = tag;
}

__attribute__((ms_abi)) int32_t WaitForSingleObject(void* object, uint32_t reason, int8_t mode, uint8_t alertable,
                                                    const int64_t* timeout) {
  KernelCalls& k = Kernel();
  k.waits++;
  k.waitObject = object;
  k.waitReason = reason;
  k.waitMode = mode;
  k.alertable = alertable;
  k.timeout = timeout ? *timeout : 0;
  return k.waitResult;
}

__attribute__((ms_abi)) int64_t QueryPerformanceCounter(int64_t* frequency) {
  Kernel().counterReads++;
  if (frequency) *frequency = 10000000;
  return Kernel().counter;
}

__attribute__((ms_abi)) uint64_t QueryUnbiasedInterruptTime() {
  Kernel().interruptTimeReads++;
  return Kernel().interruptTime;
}

__attribute__((ms_abi, noreturn)) void BugCheck(uint32_t code, uintptr_t p1, uintptr_t p2, uintptr_t p3, uintptr_t p4) {
  const KernelCalls& k = Kernel();
  bool fromImage = p2 - k.imageBase < k.imageSize;
  fprintf(stderr, "bug check 0x%x (0x%lx, 0x%lx, 0x%lx, 0x%lx) %s\n", code, (unsigned long)p1, (unsigned long)p2,
          (unsigned long)p3, (unsigned long)p4, fromImage ? "from the image" : "from elsewhere");
  _exit(kBugCheckExitCode);
}

}  // namespace

KernelCalls& Kernel() {
  static KernelCalls calls;
  return calls;
}

std::vector<host::PeExport> FixtureExports() {
  return {
      {"NTOSKRNL.EXE", "ExAllocatePoolWithTag", reinterpret_cast<void*>(&AllocatePool)},
      {"NtosKrnl.exe", "ExFreePoolWithTag", reinterpret_cast<void*>(&FreePool)},
      {"ntoskrnl.exe", "KeWaitForSingleObject", reinterpret_cast<void*>(&WaitForSingleObject)},
      {"ntoskrnl.exe", "KeQueryUnbiasedInterruptTime", reinterpret_cast<void*>(&QueryUnbiasedInterruptTime)},
      {"ntoskrnl.exe", "KeBugCheckEx", reinterpret_cast<void*>(&BugCheck)},
      {"HAL.DLL", "KeQueryPerformanceCounter", reinterpret_cast<void*>(&QueryPerformanceCounter)},
  };
}

std::string FixturePath(const std::string& variant) {
#if defined(LOADER_FIXTURE_DIR)
  return std::string(LOADER_FIXTURE_DIR) + "/loader_fixture_" + variant + ".sys";
#else
  return std::string();
#endif
}

}  // namespace loader_test

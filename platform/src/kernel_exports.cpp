// What the stand-in exports to a loaded driver image, by module and name:
// the kernel, the class driver and the USB library, for the PE loader to bind
// a Windows build of the driver to. Every function here has the platform's
// calling convention; the few the host build of the driver never calls
// (the C library's copies, the performance counter, the bug check) are
// defined here with it.
#include <string.h>
#include <time.h>

#include "host_internal.h"
#include "platform/kernel_exports.h"
#include "platform/ks.h"
#include "platform/nt.h"
#include "platform/usb.h"

namespace {

void* NTAPI KernelMemcpy(void* destination, const void* source, size_t bytes) {
  return memcpy(destination, source, bytes);
}

void* NTAPI KernelMemset(void* destination, int value, size_t bytes) { return memset(destination, value, bytes); }

uint64_t MonotonicNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return uint64_t(now.tv_sec) * 1000000000ull + uint64_t(now.tv_nsec);
}

// A 10 MHz counter, as the platform's usually is.
LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER frequency) {
  if (frequency != nullptr) frequency->QuadPart = 10000000;
  LARGE_INTEGER now;
  now.QuadPart = LONGLONG(MonotonicNs() / 100);
  return now;
}

ULONGLONG NTAPI KeQueryUnbiasedInterruptTime() { return MonotonicNs() / 100; }

[[noreturn]] void NTAPI KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
  char message[160];
  snprintf(message, sizeof(message), "bug check 0x%X (0x%llx, 0x%llx, 0x%llx, 0x%llx)", code,
           static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2),
           static_cast<unsigned long long>(p3), static_cast<unsigned long long>(p4));
  host::PlatformFault(message);
}

template <typename Function>
void* AddressOf(Function* function) {
  return reinterpret_cast<void*>(function);
}

}  // namespace

namespace host {

std::vector<PeExport> KernelExports() {
  return {
      {"hal.dll", "KeQueryPerformanceCounter", AddressOf(KeQueryPerformanceCounter)},
      {"ks.sys", "KsAcquireDevice", AddressOf(KsAcquireDevice)},
      {"ks.sys", "KsAddItemToObjectBag", AddressOf(KsAddItemToObjectBag)},
      {"ks.sys", "KsCreateFilterFactory", AddressOf(KsCreateFilterFactory)},
      {"ks.sys", "KsGetDevice", AddressOf(KsGetDevice)},
      {"ks.sys", "KsGetFilterFromIrp", AddressOf(KsGetFilterFromIrp)},
      {"ks.sys", "KsInitializeDriver", AddressOf(KsInitializeDriver)},
      {"ks.sys", "KsPinAcquireProcessingMutex", AddressOf(KsPinAcquireProcessingMutex)},
      {"ks.sys", "KsPinAttemptProcessing", AddressOf(KsPinAttemptProcessing)},
      {"ks.sys", "KsPinGetLeadingEdgeStreamPointer", AddressOf(KsPinGetLeadingEdgeStreamPointer)},
      {"ks.sys", "KsPinGetReferenceClockInterface", AddressOf(KsPinGetReferenceClockInterface)},
      {"ks.sys", "KsPinReleaseProcessingMutex", AddressOf(KsPinReleaseProcessingMutex)},
      {"ks.sys", "KsReleaseDevice", AddressOf(KsReleaseDevice)},
      {"ks.sys", "KsStreamPointerSetStatusCode", AddressOf(KsStreamPointerSetStatusCode)},
      {"ks.sys", "KsStreamPointerUnlock", AddressOf(KsStreamPointerUnlock)},
      {"ks.sys", "_KsEdit", AddressOf(_KsEdit)},
      {"ntoskrnl.exe", "ExAcquireFastMutex", AddressOf(ExAcquireFastMutex)},
      {"ntoskrnl.exe", "ExAllocatePoolWithTag", AddressOf(ExAllocatePoolWithTag)},
      {"ntoskrnl.exe", "ExFreePool", AddressOf(ExFreePool)},
      {"ntoskrnl.exe", "ExFreePoolWithTag", AddressOf(ExFreePoolWithTag)},
      {"ntoskrnl.exe", "ExReleaseFastMutex", AddressOf(ExReleaseFastMutex)},
      {"ntoskrnl.exe", "IoAllocateIrp", AddressOf(IoAllocateIrp)},
      {"ntoskrnl.exe", "IoAllocateMdl", AddressOf(IoAllocateMdl)},
      {"ntoskrnl.exe", "IoBuildDeviceIoControlRequest", AddressOf(IoBuildDeviceIoControlRequest)},
      {"ntoskrnl.exe", "IoBuildPartialMdl", AddressOf(IoBuildPartialMdl)},
      {"ntoskrnl.exe", "IoCancelIrp", AddressOf(IoCancelIrp)},
      {"ntoskrnl.exe", "IoFreeIrp", AddressOf(IoFreeIrp)},
      {"ntoskrnl.exe", "IoFreeMdl", AddressOf(IoFreeMdl)},
      {"ntoskrnl.exe", "IoOpenDeviceRegistryKey", AddressOf(IoOpenDeviceRegistryKey)},
      {"ntoskrnl.exe", "IofCallDriver", AddressOf(IofCallDriver)},
      {"ntoskrnl.exe", "KeAcquireSpinLockRaiseToDpc", AddressOf(KeAcquireSpinLockRaiseToDpc)},
      {"ntoskrnl.exe", "KeBugCheckEx", AddressOf(KeBugCheckEx)},
      {"ntoskrnl.exe", "KeEnterCriticalRegion", AddressOf(KeEnterCriticalRegion)},
      {"ntoskrnl.exe", "KeInitializeEvent", AddressOf(KeInitializeEvent)},
      {"ntoskrnl.exe", "KeInitializeMutex", AddressOf(KeInitializeMutex)},
      {"ntoskrnl.exe", "KeLeaveCriticalRegion", AddressOf(KeLeaveCriticalRegion)},
      {"ntoskrnl.exe", "KeQueryActiveProcessorCount", AddressOf(KeQueryActiveProcessorCount)},
      {"ntoskrnl.exe", "KeQueryUnbiasedInterruptTime", AddressOf(KeQueryUnbiasedInterruptTime)},
      {"ntoskrnl.exe", "KeReleaseMutex", AddressOf(KeReleaseMutex)},
      {"ntoskrnl.exe", "KeReleaseSpinLock", AddressOf(KeReleaseSpinLock)},
      {"ntoskrnl.exe", "KeResetEvent", AddressOf(KeResetEvent)},
      {"ntoskrnl.exe", "KeRestoreExtendedProcessorState", AddressOf(KeRestoreExtendedProcessorState)},
      {"ntoskrnl.exe", "KeSaveExtendedProcessorState", AddressOf(KeSaveExtendedProcessorState)},
      {"ntoskrnl.exe", "KeSetEvent", AddressOf(KeSetEvent)},
      {"ntoskrnl.exe", "KeWaitForSingleObject", AddressOf(KeWaitForSingleObject)},
      {"ntoskrnl.exe", "MmBuildMdlForNonPagedPool", AddressOf(MmBuildMdlForNonPagedPool)},
      {"ntoskrnl.exe", "ObReferenceObjectByHandle", AddressOf(ObReferenceObjectByHandle)},
      {"ntoskrnl.exe", "ObfDereferenceObject", AddressOf(ObfDereferenceObject)},
      {"ntoskrnl.exe", "PsCreateSystemThread", AddressOf(PsCreateSystemThread)},
      {"ntoskrnl.exe", "PsTerminateSystemThread", AddressOf(PsTerminateSystemThread)},
      // A data export: the slot receives the variable's address.
      {"ntoskrnl.exe", "PsThreadType", reinterpret_cast<void*>(&PsThreadType)},
      {"ntoskrnl.exe", "RtlInitUnicodeString", AddressOf(RtlInitUnicodeString)},
      {"ntoskrnl.exe", "ZwClose", AddressOf(ZwClose)},
      {"ntoskrnl.exe", "ZwCreateKey", AddressOf(ZwCreateKey)},
      {"ntoskrnl.exe", "ZwQueryValueKey", AddressOf(ZwQueryValueKey)},
      {"ntoskrnl.exe", "ZwSetValueKey", AddressOf(ZwSetValueKey)},
      {"ntoskrnl.exe", "memcpy", AddressOf(KernelMemcpy)},
      {"ntoskrnl.exe", "memset", AddressOf(KernelMemset)},
      {"usbd.sys", "USBD_CreateConfigurationRequestEx", AddressOf(USBD_CreateConfigurationRequestEx)},
      {"usbd.sys", "USBD_ParseConfigurationDescriptorEx", AddressOf(USBD_ParseConfigurationDescriptorEx)},
  };
}

}  // namespace host

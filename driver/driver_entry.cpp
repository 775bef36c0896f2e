#include "driver/device_dispatch.h"
#include "stream/descriptors.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driverObject, registryPath, &kDeviceDescriptor);
}

#include "driver/device_dispatch.h"
#include "stream/descriptors.h"
#if defined(KSCAM_WINDOWS_KERNEL)
#include "windows/stack_cookie.h"
#endif

// Not protected by a stack cookie: the cookie changes while this frame is live.
extern "C" __attribute__((no_stack_protector)) NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject,
                                                                     PUNICODE_STRING registryPath) {
#if defined(KSCAM_WINDOWS_KERNEL)
  SeedStackCookie();
#endif
  return KsInitializeDriver(driverObject, registryPath, &kDeviceDescriptor);
}

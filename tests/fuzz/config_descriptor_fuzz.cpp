// Fuzz target: the configuration descriptor a device returns, read, checked
// and selected by the driver's configuration code over the host bus. Input:
// a flag byte (bit 0: the device refuses the selection, bit 1: it returns at
// most the next byte's count of bytes), that byte, and the descriptor.
#include <stdio.h>
#include <stdlib.h>

#include "platform/host_pool.h"
#include "support/scripted_device.h"
#include "usb/usb_requests.h"

namespace {

struct Rig {
  host::UsbBus bus;
  test::ScriptedDevice device;
  Rig() {
    bus.SetSynchronousCompletion(true);  // descriptor reads and the selection complete in the call
    bus.Plug(&device);
  }
};

Rig& TheRig() {
  static Rig* rig = new Rig;  // lives for the process: the bus thread keeps running
  return *rig;
}

void Require(bool holds, const char* what) {
  if (holds) return;
  fprintf(stderr, "configuration fuzz: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Rig& rig = TheRig();
  rig.device.selectConfigurationStatus = (data[0] & 1) ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS;
  rig.device.configurationBytesLimit = (data[0] & 2) ? data[1] : -1;
  rig.device.configuration.assign(data + 2, data + size);

  UsbDevice usb{};
  usb.physicalDeviceObject = rig.bus.PhysicalDeviceObject();
  usb.lowerDeviceObject = rig.bus.PhysicalDeviceObject();
  uint64_t before = host::PoolLiveAllocations();
  NTSTATUS status = ConfigureDevice(&usb);
  if (NT_SUCCESS(status)) {
    Require(usb.configDescriptor != nullptr && usb.interfaceInfo != nullptr, "success without a configuration");
    // Every pipe the driver will use is one the bus gave it.
    for (ULONG i = 0; i < usb.interfaceInfo->NumberOfPipes; ++i)
      Require(PipeAt(&usb, i) != nullptr && PipeAt(&usb, i)->PipeHandle != nullptr, "a pipe without a handle");
  }
  ReleaseConfiguration(&usb);
  Require(host::PoolLiveAllocations() == before, "the configuration left pool allocations behind");
  return 0;
}

// What the class driver is told about the camera: the device descriptor with
// its dispatch table, and the capture filter with its one pin.
#pragma once

#include "driver/kernel.h"

extern const KSDEVICE_DESCRIPTOR kDeviceDescriptor;
extern const KSFILTER_DESCRIPTOR kFilterDescriptor;
extern const KSALLOCATOR_FRAMING_EX kAllocatorFramingTemplate;

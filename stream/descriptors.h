// What the class driver is told about the camera: the device descriptor with
// its dispatch table, and the capture filter with its one pin.
#pragma once

#include "driver/kernel.h"

extern const KSDEVICE_DESCRIPTOR kDeviceDescriptor;
extern const KSFILTER_DESCRIPTOR kFilterDescriptor;
extern const KSALLOCATOR_FRAMING_EX kAllocatorFramingTemplate;

// Gives the filter a descriptor of its own, owned by its object bag, whose
// capture pin offers the given range (its device's) instead of the
// full-sensor template: two cameras of different geometry then each offer
// their own size. Called from the filter's Create, at passive level.
NTSTATUS OfferDeviceRange(PKSFILTER filter, KS_DATARANGE_VIDEO* range);

// Device and filter dispatch: what the class driver calls when a camera is
// added, started and stopped, and when a filter is opened and closed.
#pragma once

#include "driver/kernel.h"

NTSTATUS NTAPI DeviceAdd(PKSDEVICE device);
NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                     PCM_RESOURCE_LIST untranslatedResources);
void NTAPI DeviceStop(PKSDEVICE device, PIRP irp);
NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp);
NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP irp);

extern "C" DRIVER_INITIALIZE DriverEntry;

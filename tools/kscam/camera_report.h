// What the driver knows about a started camera, printed for probe and info.
#pragma once

#include <stdio.h>

#include "driver/device_context.h"

namespace kscam {

// The device descriptor as the driver reads it from the camera.
void PrintDeviceDescriptor(DeviceContext* ctx);
// The sensor's identification registers and the window the driver set.
void PrintSensor(DeviceContext* ctx);
// The selected configuration, its interface and its pipes.
void PrintConfiguration(DeviceContext* ctx);

}  // namespace kscam

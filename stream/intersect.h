// Format negotiation: turns a client's proposed video range into a concrete
// format for the capture pin.
#pragma once

#include "driver/kernel.h"

// The pin's data-intersection handler, called by the class driver with one
// range the client proposed (callerRange) and the pin's own range
// (descriptorRange). A bufferSize of 0 asks for the size of the format.
NTSTATUS NTAPI IntersectVideoRange(PVOID filter, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                             PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data, PULONG dataSize);

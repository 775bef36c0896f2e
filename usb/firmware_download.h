// Loading firmware into the bridge's 8051: memory-load vendor requests while
// the processor is held in reset, then letting it run.
#pragma once

#include "usb/firmware_images.h"
#include "usb/usb_device.h"

// The bridge core itself answers 0xA0 for internal memory and the processor's
// reset register; 0xA3 reaches external memory only through the firmware that
// runs at the time.
constexpr UCHAR kRequestLoadInternal = 0xA0;
constexpr UCHAR kRequestLoadExternal = 0xA3;
constexpr USHORT kLastInternalAddress = 0x1B3F;
// The reset register on the older and on the newer bridge memory map; both
// are written, as the driver cannot tell the two bridges apart.
constexpr USHORT kCpuResetAddressOld = 0x7F92;
constexpr USHORT kCpuResetAddress = 0xE600;

// Loads one image (external records first, while the current firmware still
// runs; then, with the processor held, internal records) and releases the
// processor. Returns the status of the last load request sent, success when
// none was sent, or STATUS_INSUFFICIENT_RESOURCES, in which case nothing at
// all was sent. Passive level.
NTSTATUS DownloadFirmware(UsbDevice* usb, const FirmwareRecord* image);

// Holds the processor in reset (hold TRUE) or lets it run. Returns the status
// of the write to the newer register address. Passive level.
NTSTATUS SetCpuReset(UsbDevice* usb, BOOLEAN hold);

// The bridge firmware the driver carries: tables of fixed-size records in
// Intel HEX form, generated at build time from usb/firmware/*.hex.
#pragma once

#include "driver/kernel.h"

constexpr ULONG kFirmwareRecordDataBytes = 16;
constexpr UCHAR kFirmwareDataRecord = 0;  // any other type ends a table
constexpr UCHAR kFirmwareEndRecord = 1;

// One HEX record laid out at 22 bytes: the address is 16-bit aligned and the
// data bytes past `length` are zero.
struct FirmwareRecord {
  UCHAR length;  // data bytes used, 1 to 16
  UCHAR reserved0;
  USHORT address;  // in the bridge's memory
  UCHAR type;
  UCHAR data[kFirmwareRecordDataBytes];
  UCHAR reserved1;
};
static_assert(sizeof(FirmwareRecord) == 22, "records are 22 bytes apart");

// Downloaded first: a loader that also serves external-memory loads.
extern const FirmwareRecord kLoaderImage[];
// Downloaded second: the camera firmware, which re-enumerates as the camera.
extern const FirmwareRecord kCameraFirmwareImage[];

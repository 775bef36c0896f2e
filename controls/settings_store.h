// The camera's settings in the device's driver key, subkey "Settings": read
// and applied when the device starts, written back when a filter closes and
// when the device stops.
#pragma once

#include "driver/device_context.h"

// True if the key was opened and the values applied. Passive level.
bool LoadSettings(DeviceContext* ctx);
// True if the values were written. Passive level.
bool SaveSettings(DeviceContext* ctx);

// Creates or opens "Settings" below the parent key, for every access.
NTSTATUS OpenSettingsKey(HANDLE parent, PHANDLE key);
// Stores the value's first four data bytes, little-endian, into *value when
// the value has 4 to 8 data bytes; otherwise leaves *value alone and says
// why (shorter values would leave upper bytes undefined, longer ones do not
// fit the query).
NTSTATUS QuerySettingDword(HANDLE key, PCWSTR name, LONG* value);
void WriteSettingDword(HANDLE key, PCWSTR name, LONG value);

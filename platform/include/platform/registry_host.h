// The test rig's view of the host registry: which device instance a physical
// device object is, the file the registry lives in, and direct access to keys
// and values for checks and fault injection.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "platform/nt.h"

namespace host {

// A device's stable identity (its device instance), which selects its keys:
// the same camera on the same port keeps its settings across unplugging.
void SetDeviceInstance(PDEVICE_OBJECT physicalDevice, const std::string& instanceId);
void ForgetDeviceInstance(PDEVICE_OBJECT physicalDevice);
// The path of the device's driver key, or "" for an unknown device.
std::string DriverKeyPath(PDEVICE_OBJECT physicalDevice);

struct RegistryLoadReport {
  bool fileFound = false;  // the file existed
  bool damaged = false;    // it was unreadable and was set aside
  std::string setAsidePath;
  std::string problem;
};
// Drops every key in memory and loads the registry from the file (an empty
// path keeps the registry in memory only), as a new process would. A damaged
// file is renamed to <file>.damaged, reported on stderr and in the result,
// and the registry starts empty. Faults if a key handle is open.
RegistryLoadReport UseRegistryFile(const std::string& path);
// Writes the registry to its file if anything changed (a new file, then a
// rename over the old one); key handles closing after a change do the same.
// False if the write failed (the old file is then intact).
bool FlushRegistry();

struct RegistryValue {
  uint32_t type = 0;
  std::vector<uint8_t> data;
};
// Paths are key names joined by backslashes; names are matched without case.
bool ReadRegistryValue(const std::string& keyPath, const std::string& name, RegistryValue* value);
void WriteRegistryValue(const std::string& keyPath, const std::string& name, const RegistryValue& value);
void WriteRegistryDword(const std::string& keyPath, const std::string& name, uint32_t value);
// The value names of a key in creation order; empty for a missing key.
std::vector<std::string> RegistryValueNames(const std::string& keyPath);
bool RegistryKeyExists(const std::string& keyPath);
void DeleteRegistryKey(const std::string& keyPath);

// Refusals the registry can be told to make.
struct RegistryFaults {
  bool failDeviceKey = false;   // IoOpenDeviceRegistryKey fails
  bool failCreateKey = false;   // ZwCreateKey fails
  bool failSetValue = false;    // ZwSetValueKey fails
  bool failFileWrite = false;   // writing the file fails before the rename
};
void SetRegistryFaults(const RegistryFaults& faults);

}  // namespace host

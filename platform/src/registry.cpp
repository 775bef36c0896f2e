// The host registry: keys and values per device instance behind
// IoOpenDeviceRegistryKey and the Zw key calls, kept in one file that is
// replaced whole (new file, then rename) so a crash never leaves it torn.
#include <stdio.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "handles.h"
#include "host_internal.h"
#include "platform/registry_host.h"

namespace host {

namespace {

struct Value {
  std::u16string name;
  ULONG type;
  std::vector<uint8_t> data;
};

struct Key {
  std::u16string name;
  std::vector<Value> values;                 // in creation order
  std::vector<std::unique_ptr<Key>> subkeys;
};

// What a key handle holds: the key and the access it was opened with.
struct KeyHandle {
  Key* key;
  ACCESS_MASK access;
};

constexpr char kFileHeader[] = "kscam-registry 1";
constexpr ACCESS_MASK kGenericMask = 0xF0000000;

// Guards everything below. Keys are never freed while a handle may point at
// one: only UseRegistryFile replaces the tree, and it refuses while handles
// are open.
std::mutex registryLock;
std::unique_ptr<Key> root(new Key);
std::string filePath;
bool dirty = false;
RegistryFaults faults;
std::map<PDEVICE_OBJECT, std::string>& Instances() {
  static auto* instances = new std::map<PDEVICE_OBJECT, std::string>;
  return *instances;
}
size_t openKeyHandles = 0;

char16_t Fold(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

bool SameName(const std::u16string& a, const std::u16string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Fold(a[i]) != Fold(b[i])) return false;
  return true;
}

std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }
std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? char(c) : '?';
  return out;
}

std::vector<std::u16string> SplitPath(const std::u16string& path) {
  std::vector<std::u16string> parts;
  std::u16string part;
  for (char16_t c : path) {
    if (c == u'\\') {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

// Call with registryLock held.
Key* Subkey(Key* parent, const std::u16string& name, bool create) {
  for (auto& key : parent->subkeys)
    if (SameName(key->name, name)) return key.get();
  if (!create) return nullptr;
  parent->subkeys.push_back(std::make_unique<Key>());
  parent->subkeys.back()->name = name;
  dirty = true;
  return parent->subkeys.back().get();
}

// Call with registryLock held.
Key* FindKey(Key* from, const std::u16string& path, bool create) {
  Key* key = from;
  for (const auto& part : SplitPath(path)) {
    key = Subkey(key, part, create);
    if (key == nullptr) return nullptr;
  }
  return key;
}

Value* FindValue(Key* key, const std::u16string& name) {
  for (auto& value : key->values)
    if (SameName(value.name, name)) return &value;
  return nullptr;
}

// Call with registryLock held.
void SetValue(Key* key, const std::u16string& name, ULONG type, const uint8_t* data, size_t bytes) {
  Value* value = FindValue(key, name);
  if (value == nullptr) {
    key->values.push_back(Value{name, type, {}});
    value = &key->values.back();
  }
  value->type = type;
  value->data.assign(data, data + bytes);
  dirty = true;
}

// --- The file: one line per key and value, then a line that seals the
// count of lines and a checksum of everything before it, so a truncated or
// edited file is recognised as damaged. ---

std::string EscapeName(const std::u16string& name) {
  std::string out;
  char buffer[8];
  for (char16_t c : name) {
    if (c > 0x20 && c < 0x7F && c != u'%' && c != u'\\') {
      out += char(c);
    } else {
      snprintf(buffer, sizeof(buffer), "%%%04X", unsigned(c));
      out += buffer;
    }
  }
  return out;
}

bool UnescapeName(const std::string& text, std::u16string* name) {
  name->clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      name->push_back(char16_t(uint8_t(text[i])));
      continue;
    }
    if (i + 4 >= text.size()) return false;
    unsigned code = 0;
    for (size_t j = 1; j <= 4; ++j) {
      char c = text[i + j];
      unsigned digit = (c >= '0' && c <= '9') ? unsigned(c - '0') : (c >= 'A' && c <= 'F') ? unsigned(c - 'A' + 10) : 16;
      if (digit == 16) return false;
      code = code * 16 + digit;
    }
    name->push_back(char16_t(code));
    i += 4;
  }
  return !name->empty();
}

uint64_t Checksum(const std::string& text) {
  uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
  for (unsigned char c : text) hash = (hash ^ c) * 0x100000001B3ull;
  return hash;
}

void SerializeKey(const Key& key, const std::string& path, std::string* out, size_t* lines) {
  for (const auto& subkey : key.subkeys) {
    std::string subPath = path.empty() ? EscapeName(subkey->name) : path + "\\" + EscapeName(subkey->name);
    *out += "key " + subPath + "\n";
    ++*lines;
    for (const auto& value : subkey->values) {
      *out += "value " + EscapeName(value.name) + " " + std::to_string(value.type) + " ";
      static const char kHex[] = "0123456789ABCDEF";
      for (uint8_t byte : value.data) {
        *out += kHex[byte >> 4];
        *out += kHex[byte & 15];
      }
      *out += "\n";
      ++*lines;
    }
    SerializeKey(*subkey, subPath, out, lines);
  }
}

std::string Serialize(const Key& tree) {
  std::string out = std::string(kFileHeader) + "\n";
  size_t lines = 1;
  SerializeKey(tree, "", &out, &lines);
  out += "end " + std::to_string(lines) + " " + std::to_string(Checksum(out)) + "\n";
  return out;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* data) {
  if (text.size() % 2 != 0) return false;
  auto nibble = [](char c) { return (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1; };
  for (size_t i = 0; i < text.size(); i += 2) {
    int high = nibble(text[i]);
    int low = nibble(text[i + 1]);
    if (high < 0 || low < 0) return false;
    data->push_back(uint8_t(high << 4 | low));
  }
  return true;
}

// Parses a whole file into a new tree; on any fault says what it was.
bool Parse(const std::string& text, Key* tree, std::string* problem) {
  size_t end = text.rfind("end ");
  if (text.compare(0, sizeof(kFileHeader) - 1, kFileHeader) != 0) return *problem = "no registry header", false;
  if (end == std::string::npos || (end > 0 && text[end - 1] != '\n')) return *problem = "no end line", false;
  std::string body = text.substr(0, end);
  unsigned long long lines = 0, sum = 0;
  if (sscanf(text.c_str() + end, "end %llu %llu", &lines, &sum) != 2 || sum != Checksum(body))
    return *problem = "checksum does not match", false;
  size_t count = 0;
  Key* current = nullptr;
  size_t position = 0;
  while (position < body.size()) {
    size_t newline = body.find('\n', position);
    if (newline == std::string::npos) return *problem = "unterminated line", false;
    std::string line = body.substr(position, newline - position);
    position = newline + 1;
    ++count;
    if (count == 1) continue;  // the header
    if (line.compare(0, 4, "key ") == 0) {
      std::u16string path;
      std::vector<std::u16string> parts;
      for (const auto& part : SplitPath(Widen(line.substr(4)))) {
        std::u16string name;
        if (!UnescapeName(Narrow(part), &name)) return *problem = "bad key name", false;
        path += u"\\" + name;
      }
      current = FindKey(tree, path, true);
    } else if (line.compare(0, 6, "value ") == 0 && current != nullptr) {
      size_t nameEnd = line.find(' ', 6);
      size_t typeEnd = nameEnd == std::string::npos ? nameEnd : line.find(' ', nameEnd + 1);
      if (typeEnd == std::string::npos) return *problem = "bad value line", false;
      std::u16string name;
      std::vector<uint8_t> data;
      if (!UnescapeName(line.substr(6, nameEnd - 6), &name) || !ParseHex(line.substr(typeEnd + 1), &data))
        return *problem = "bad value line", false;
      ULONG type = ULONG(strtoul(line.substr(nameEnd + 1, typeEnd - nameEnd - 1).c_str(), nullptr, 10));
      SetValue(current, name, type, data.data(), data.size());
    } else {
      return *problem = "unknown line", false;
    }
  }
  if (count != lines) return *problem = "line count does not match", false;
  return true;
}

// Call with registryLock held.
bool WriteFileLocked() {
  if (filePath.empty() || !dirty) return true;
  std::string text = Serialize(*root);
  std::string temporary = filePath + ".new." + std::to_string(getpid());
  FILE* file = fopen(temporary.c_str(), "wb");
  bool written = file != nullptr && !faults.failFileWrite && fwrite(text.data(), 1, text.size(), file) == text.size();
  if (file != nullptr) {
    written = fflush(file) == 0 && fsync(fileno(file)) == 0 && written;
    written = fclose(file) == 0 && written;
  }
  if (written) written = rename(temporary.c_str(), filePath.c_str()) == 0;
  if (!written) {
    remove(temporary.c_str());
    return false;
  }
  dirty = false;
  return true;
}

// The name a UNICODE_STRING holds; false for a malformed one.
bool NameOf(PCUNICODE_STRING name, std::u16string* out) {
  if (name == nullptr) return out->clear(), true;
  if (name->Length % 2 != 0 || name->Length > name->MaximumLength || (name->Length != 0 && name->Buffer == nullptr))
    return false;
  out->assign(name->Buffer, name->Length / sizeof(WCHAR));
  return true;
}

void RequirePassive(const char* call) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) PlatformFault(call);
}

void CloseKeyHandle(void* object) {
  std::lock_guard<std::mutex> guard(registryLock);
  delete static_cast<KeyHandle*>(object);
  --openKeyHandles;
  WriteFileLocked();  // a failed write keeps the change in memory for the next close
}

// Call with registryLock held.
HANDLE OpenKeyHandle(Key* key, ACCESS_MASK access) {
  ++openKeyHandles;
  return OpenHandle(new KeyHandle{key, access}, HandleKind::RegistryKey, CloseKeyHandle);
}

std::string DriverKeyPathLocked(PDEVICE_OBJECT physicalDevice) {
  auto it = Instances().find(physicalDevice);
  return it == Instances().end() ? std::string() : "Enum\\" + it->second + "\\Driver";
}

}  // namespace

void SetDeviceInstance(PDEVICE_OBJECT physicalDevice, const std::string& instanceId) {
  std::lock_guard<std::mutex> guard(registryLock);
  Instances()[physicalDevice] = instanceId;
}

void ForgetDeviceInstance(PDEVICE_OBJECT physicalDevice) {
  std::lock_guard<std::mutex> guard(registryLock);
  Instances().erase(physicalDevice);
}

std::string DriverKeyPath(PDEVICE_OBJECT physicalDevice) {
  std::lock_guard<std::mutex> guard(registryLock);
  return DriverKeyPathLocked(physicalDevice);
}

RegistryLoadReport UseRegistryFile(const std::string& path) {
  std::lock_guard<std::mutex> guard(registryLock);
  if (openKeyHandles != 0) PlatformFault("registry replaced while key handles are open");
  RegistryLoadReport report;
  root.reset(new Key);
  filePath = path;
  dirty = false;
  if (path.empty()) return report;
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return report;
  report.fileFound = true;
  std::string text;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, got);
  fclose(file);
  auto tree = std::make_unique<Key>();
  if (Parse(text, tree.get(), &report.problem)) {
    root = std::move(tree);
    dirty = false;
    return report;
  }
  report.damaged = true;
  report.setAsidePath = path + ".damaged";
  rename(path.c_str(), report.setAsidePath.c_str());
  fprintf(stderr, "registry: %s is damaged (%s); set aside as %s, starting empty\n", path.c_str(),
          report.problem.c_str(), report.setAsidePath.c_str());
  dirty = false;
  return report;
}

bool FlushRegistry() {
  std::lock_guard<std::mutex> guard(registryLock);
  return WriteFileLocked();
}

bool ReadRegistryValue(const std::string& keyPath, const std::string& name, RegistryValue* value) {
  std::lock_guard<std::mutex> guard(registryLock);
  Key* key = FindKey(root.get(), Widen(keyPath), false);
  Value* found = key == nullptr ? nullptr : FindValue(key, Widen(name));
  if (found == nullptr) return false;
  value->type = found->type;
  value->data = found->data;
  return true;
}

void WriteRegistryValue(const std::string& keyPath, const std::string& name, const RegistryValue& value) {
  std::lock_guard<std::mutex> guard(registryLock);
  SetValue(FindKey(root.get(), Widen(keyPath), true), Widen(name), value.type, value.data.data(), value.data.size());
}

void WriteRegistryDword(const std::string& keyPath, const std::string& name, uint32_t value) {
  RegistryValue dword{REG_DWORD, {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)}};
  WriteRegistryValue(keyPath, name, dword);
}

std::vector<std::string> RegistryValueNames(const std::string& keyPath) {
  std::lock_guard<std::mutex> guard(registryLock);
  std::vector<std::string> names;
  Key* key = FindKey(root.get(), Widen(keyPath), false);
  if (key != nullptr)
    for (const auto& value : key->values) names.push_back(Narrow(value.name));
  return names;
}

bool RegistryKeyExists(const std::string& keyPath) {
  std::lock_guard<std::mutex> guard(registryLock);
  return FindKey(root.get(), Widen(keyPath), false) != nullptr;
}

void DeleteRegistryKey(const std::string& keyPath) {
  std::lock_guard<std::mutex> guard(registryLock);
  if (openKeyHandles != 0) PlatformFault("registry key deleted while key handles are open");
  std::vector<std::u16string> parts = SplitPath(Widen(keyPath));
  if (parts.empty()) return;
  Key* parent = root.get();
  for (size_t i = 0; i + 1 < parts.size() && parent != nullptr; ++i) parent = Subkey(parent, parts[i], false);
  if (parent == nullptr) return;
  for (auto it = parent->subkeys.begin(); it != parent->subkeys.end(); ++it)
    if (SameName((*it)->name, parts.back())) {
      parent->subkeys.erase(it);
      dirty = true;
      return;
    }
}

void SetRegistryFaults(const RegistryFaults& newFaults) {
  std::lock_guard<std::mutex> guard(registryLock);
  faults = newFaults;
}

}  // namespace host

using host::KeyHandle;

// A device the registry does not know (never enumerated) has no keys, as a
// device object that is not a plug-and-play device has none on the platform.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG devInstKeyType, ACCESS_MASK desiredAccess,
                                 PHANDLE devInstRegKey) {
  host::RequirePassive("IoOpenDeviceRegistryKey above passive level");
  if (devInstRegKey == nullptr) return STATUS_INVALID_PARAMETER;
  *devInstRegKey = nullptr;
  if (devInstKeyType != PLUGPLAY_REGKEY_DRIVER && devInstKeyType != PLUGPLAY_REGKEY_DEVICE)
    return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(host::registryLock);
  std::string path = host::DriverKeyPathLocked(deviceObject);
  if (path.empty()) return STATUS_INVALID_DEVICE_REQUEST;
  if (host::faults.failDeviceKey) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (devInstKeyType == PLUGPLAY_REGKEY_DEVICE) path = path.substr(0, path.size() - 7) + "\\Device";
  *devInstRegKey = host::OpenKeyHandle(host::FindKey(host::root.get(), host::Widen(path), true), desiredAccess);
  return STATUS_SUCCESS;
}

// Kernel callers must ask for kernel handles: a handle made without
// OBJ_KERNEL_HANDLE lands in whatever process the thread runs in, where that
// process can close or reuse it. The platform's verifier flags it; we fault.
NTSTATUS ZwCreateKey(PHANDLE keyHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                     ULONG titleIndex, PUNICODE_STRING keyClass, ULONG createOptions, PULONG disposition) {
  (void)titleIndex;
  (void)keyClass;
  host::RequirePassive("ZwCreateKey above passive level");
  if (keyHandle == nullptr || objectAttributes == nullptr || objectAttributes->Length != sizeof(OBJECT_ATTRIBUTES))
    return STATUS_INVALID_PARAMETER;
  if (!(objectAttributes->Attributes & OBJ_KERNEL_HANDLE)) host::PlatformFault("ZwCreateKey without OBJ_KERNEL_HANDLE");
  if (createOptions & ~ULONG(REG_OPTION_VOLATILE)) return STATUS_INVALID_PARAMETER;
  std::u16string name;
  if (!host::NameOf(objectAttributes->ObjectName, &name) || name.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<std::mutex> guard(host::registryLock);
  host::Key* parent = host::root.get();
  if (objectAttributes->RootDirectory != nullptr) {
    auto* handle = static_cast<KeyHandle*>(host::HandleObject(objectAttributes->RootDirectory, host::HandleKind::RegistryKey));
    if (handle == nullptr) return STATUS_INVALID_HANDLE;
    parent = handle->key;
  }
  if (host::faults.failCreateKey) return STATUS_ACCESS_DENIED;
  bool existed = host::FindKey(parent, name, false) != nullptr;
  host::Key* key = host::FindKey(parent, name, true);
  if (disposition != nullptr) *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
  *keyHandle = host::OpenKeyHandle(key, desiredAccess);
  return STATUS_SUCCESS;
}

// Access is checked against the handle, as the object manager does: a key
// opened for reading only cannot be written through, and the reverse.
NTSTATUS ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                         KEY_VALUE_INFORMATION_CLASS keyValueInformationClass, PVOID keyValueInformation,
                         ULONG length, PULONG resultLength) {
  host::RequirePassive("ZwQueryValueKey above passive level");
  if (resultLength == nullptr) return STATUS_ACCESS_VIOLATION;
  std::u16string name;
  if (!host::NameOf(valueName, &name)) return STATUS_INVALID_PARAMETER;
  if (keyValueInformationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(host::registryLock);
  auto* handle = static_cast<KeyHandle*>(host::HandleObject(keyHandle, host::HandleKind::RegistryKey));
  if (handle == nullptr) return STATUS_INVALID_HANDLE;
  if (!(handle->access & (KEY_QUERY_VALUE | host::kGenericMask))) return STATUS_ACCESS_DENIED;
  host::Value* value = host::FindValue(handle->key, name);
  if (value == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  ULONG needed = kHeader + ULONG(value->data.size());
  *resultLength = needed;
  if (length < kHeader) return STATUS_BUFFER_TOO_SMALL;
  if (keyValueInformation == nullptr) return STATUS_ACCESS_VIOLATION;
  // The fixed part goes out even when the data does not fit, with the warning.
  auto* bytes = static_cast<uint8_t*>(keyValueInformation);
  ULONG header[3] = {0, value->type, ULONG(value->data.size())};
  memcpy(bytes, header, kHeader);
  if (length < needed) return STATUS_BUFFER_OVERFLOW;
  if (!value->data.empty()) memcpy(bytes + kHeader, value->data.data(), value->data.size());
  return STATUS_SUCCESS;
}

NTSTATUS ZwSetValueKey(HANDLE keyHandle, PUNICODE_STRING valueName, ULONG titleIndex, ULONG type, PVOID data,
                       ULONG dataSize) {
  (void)titleIndex;
  host::RequirePassive("ZwSetValueKey above passive level");
  std::u16string name;
  if (!host::NameOf(valueName, &name)) return STATUS_INVALID_PARAMETER;
  if (dataSize != 0 && data == nullptr) return STATUS_ACCESS_VIOLATION;
  std::lock_guard<std::mutex> guard(host::registryLock);
  auto* handle = static_cast<KeyHandle*>(host::HandleObject(keyHandle, host::HandleKind::RegistryKey));
  if (handle == nullptr) return STATUS_INVALID_HANDLE;
  if (!(handle->access & (KEY_SET_VALUE | host::kGenericMask))) return STATUS_ACCESS_DENIED;
  if (host::faults.failSetValue) return STATUS_INSUFFICIENT_RESOURCES;
  host::SetValue(handle->key, name, type, static_cast<const uint8_t*>(data), dataSize);
  return STATUS_SUCCESS;
}

// The host's handle table: one table for every kind of object the stand-in
// hands out by handle (threads, registry keys), so that ZwClose works on all.
#include <map>
#include <mutex>

#include "handles.h"
#include "host_internal.h"

namespace host {

namespace {

struct HandleEntry {
  void* object;
  HandleKind kind;
  void (*close)(void* object);
};

std::mutex tableLock;
uintptr_t nextHandle = 0x1000;  // guarded by tableLock

// Guarded by tableLock.
std::map<uintptr_t, HandleEntry>& Table() {
  static auto* table = new std::map<uintptr_t, HandleEntry>;
  return *table;
}

}  // namespace

HANDLE OpenHandle(void* object, HandleKind kind, void (*close)(void* object)) {
  std::lock_guard<std::mutex> guard(tableLock);
  uintptr_t value = nextHandle;
  nextHandle += 4;  // handles are multiples of four, as on the platform
  Table()[value] = HandleEntry{object, kind, close};
  return reinterpret_cast<HANDLE>(value);
}

void* HandleObject(HANDLE handle, HandleKind kind) {
  std::lock_guard<std::mutex> guard(tableLock);
  auto it = Table().find(reinterpret_cast<uintptr_t>(handle));
  if (it == Table().end() || it->second.kind != kind) return nullptr;
  return it->second.object;
}

size_t OpenHandleCount() {
  std::lock_guard<std::mutex> guard(tableLock);
  return Table().size();
}

}  // namespace host

NTSTATUS ZwClose(HANDLE handle) {
  host::HandleEntry entry;
  {
    std::lock_guard<std::mutex> guard(host::tableLock);
    auto it = host::Table().find(reinterpret_cast<uintptr_t>(handle));
    if (it == host::Table().end()) host::PlatformFault("ZwClose of a handle that is not open");
    entry = it->second;
    host::Table().erase(it);
  }
  if (entry.close != nullptr) entry.close(entry.object);
  return STATUS_SUCCESS;
}

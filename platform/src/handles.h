// The host's handle table, shared by the stand-in's sources that hand out
// handles; the driver sees only HANDLE values and ZwClose.
#pragma once

#include <stddef.h>

#include "platform/nt.h"

namespace host {

enum class HandleKind { Thread, RegistryKey };

// A new handle for object; ZwClose calls close(object) (which may be null).
HANDLE OpenHandle(void* object, HandleKind kind, void (*close)(void* object));
// The object behind an open handle of the given kind, or null.
void* HandleObject(HANDLE handle, HandleKind kind);
// Handles open now, for leak checks.
size_t OpenHandleCount();

}  // namespace host

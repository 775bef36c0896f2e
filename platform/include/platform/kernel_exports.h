// The stand-in's exports, for binding a loaded Windows driver image.
#pragma once

#include <vector>

#include "platform/pe_image.h"

namespace host {

// Every function and variable of the kernel, the class driver and the USB
// library that the stand-in provides, by module and name.
std::vector<PeExport> KernelExports();

}  // namespace host

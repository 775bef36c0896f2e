// Platform status codes as the names programmers know them by.
#pragma once

#include <string>

#include "driver/kernel.h"

namespace kscam {

// "STATUS_TIMEOUT (0x00000102)"; unknown codes as hexadecimal only.
std::string StatusText(NTSTATUS status);

}  // namespace kscam

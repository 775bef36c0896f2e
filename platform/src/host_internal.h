// Shared between the host platform's own sources; not seen by the driver.
#pragma once

namespace host {

// A use of the platform that the real kernel would punish (a wait at dispatch
// level, a double free): abort with a message so the test fails loudly.
[[noreturn]] void PlatformFault(const char* what);

}  // namespace host

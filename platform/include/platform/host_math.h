// Test hook for the runtime maths of the host build: the driver's hue matrix
// normally uses the C library's sinf, cosf and sqrtf; a test can switch it to
// the driver's own kernel implementations to compare the two.
#pragma once

namespace host {

void UseKernelMath(bool enabled);
bool UsingKernelMath();

}  // namespace host

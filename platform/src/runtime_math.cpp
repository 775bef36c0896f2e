// The host's runtime maths: the C library, or the kernel driver's own versions
// when a test switches them on.
#include <math.h>

#include <atomic>

#include "imaging/runtime_math.h"
#include "platform/host_math.h"
#include "windows/runtime_math.h"

namespace {

std::atomic<bool> useKernelMath{false};

}  // namespace

namespace host {

void UseKernelMath(bool enabled) { useKernelMath.store(enabled); }
bool UsingKernelMath() { return useKernelMath.load(); }

}  // namespace host

float RuntimeSqrtf(float x) { return host::UsingKernelMath() ? KernelSqrtf(x) : sqrtf(x); }
float RuntimeSinf(float x) { return host::UsingKernelMath() ? KernelSinf(x) : sinf(x); }
float RuntimeCosf(float x) { return host::UsingKernelMath() ? KernelCosf(x) : cosf(x); }

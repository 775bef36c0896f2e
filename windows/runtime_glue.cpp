// In the kernel driver the runtime maths are our own implementations.
#include "imaging/runtime_math.h"
#include "windows/runtime_math.h"

float RuntimeSqrtf(float x) { return KernelSqrtf(x); }
float RuntimeSinf(float x) { return KernelSinf(x); }
float RuntimeCosf(float x) { return KernelCosf(x); }

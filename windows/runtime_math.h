// The driver's own single-precision square root, sine and cosine: pure C++,
// no C library, so they can be linked into the kernel driver.
#pragma once

float KernelSqrtf(float x);
// Within one rounding of the true value for |x| < 2^20 (the driver only asks
// for angles within one turn); NaN for larger or non-finite arguments.
float KernelSinf(float x);
float KernelCosf(float x);

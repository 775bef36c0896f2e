// Single-precision square root, sine and cosine for the hue matrix. The kernel
// exports none of them, so the driver carries its own; the host build links
// the C library's versions (or ours, when a test asks for them).
#pragma once

float RuntimeSqrtf(float x);
float RuntimeSinf(float x);
float RuntimeCosf(float x);

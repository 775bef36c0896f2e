// The capture pin's one data range: 32-bit RGB at the size of the current
// sensor window. One writable record serves every device of the driver; the
// camera rewrites its size fields whenever the geometry changes.
#pragma once

#include "driver/kernel.h"

extern KS_DATARANGE_VIDEO videoDataRange;

constexpr LONGLONG kFrameInterval100ns = 333333;  // 30 frames per second

// Rewrites the size-dependent fields for an image of width x height pixels.
// Products are 32-bit unsigned and wrap, as clients have always seen them.
void UpdateVideoDataRange(ULONG width, ULONG height);

// The capture pin's one data range: 32-bit RGB at the size of the current
// sensor window. Each device keeps its own writable copy, since two cameras
// can run at different sizes; the camera rewrites its size fields whenever
// its geometry changes.
#pragma once

#include "driver/kernel.h"

// The range of the full sensor, copied into each device at add.
extern const KS_DATARANGE_VIDEO kVideoDataRangeTemplate;

constexpr LONGLONG kFrameInterval100ns = 333333;  // 30 frames per second

// Rewrites the size-dependent fields for an image of width x height pixels.
// Products are 32-bit unsigned and wrap, as clients have always seen them.
void UpdateVideoDataRange(KS_DATARANGE_VIDEO* range, ULONG width, ULONG height);

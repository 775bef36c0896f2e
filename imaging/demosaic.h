// The demosaic kernels: three families (colour image, grey image, white-balance
// measurement), each in four variants, one per colour-filter layout, and each
// built for two instruction sets.
#pragma once

#include <stdint.h>

struct ImagePipeline;

// Colour sums of one white-balance measurement.
struct WhiteBalanceTotals {
  uint64_t red, green, blue;
};

// Every kernel works on frame rows firstRow .. endRow - 1 (the whole frame is
// 0 .. height). A row depends only on the work buffer, so ranges that cover
// the frame give the same image and sums however they split it, and disjoint
// ranges may run at the same time.
typedef void (*ImageKernel)(ImagePipeline* pipeline, uint32_t firstRow, uint32_t endRow);
// Adds the range's sums to *totals; GainsFromTotals turns the frame's sums
// into gains.
typedef void (*MeasureKernel)(ImagePipeline* pipeline, uint32_t firstRow, uint32_t endRow,
                              WhiteBalanceTotals* totals);

// Indexed by layout variant 0..3 (the Bayer phase; see KernelVariant).
struct DemosaicKernels {
  // Interpolation, white-balance gains, colour matrix: the colour image.
  ImageKernel colour[4];
  // Interpolation, gains, luminance: a grey image in the same pixel format.
  ImageKernel grey[4];
  // Interpolation, then the sums of the interpolated colours.
  MeasureKernel measure[4];
};

// Phases 0, 1 and 2 select their own layout; any other value selects 3.
inline int KernelVariant(int32_t bayerPhase) {
  return bayerPhase >= 0 && bayerPhase <= 2 ? bayerPhase : 3;
}

// 16 positions per block in 128-bit vectors: runs on every x86-64 processor.
extern const DemosaicKernels kDemosaicSse2;
// 32 positions per block in 256-bit vectors, bit-identical to the SSE2
// kernels; each call saves and restores the extended processor state around
// the kernel on the thread that makes it (so bands on several threads each
// save their own) and falls back to SSE2 if the state cannot be saved. Only for
// processors where CpuHasAvx2() is true.
extern const DemosaicKernels kDemosaicAvx2;

bool CpuHasAvx2();
// AVX2 where the processor and the operating system support it, else SSE2.
const DemosaicKernels& BestDemosaicKernels();

// Gains that make the frame's average colour grey, 128 = unity, green fixed at
// 128: red = 128 * green / red and blue likewise, computed in double precision
// as T = G + R + B, g = T / G / 3, red = T / R / 3 * 128 / g, truncated.
// Stores nothing if a sum is zero (a black frame or a missing colour says
// nothing about the balance), and limits gains to 0..65535.
void GainsFromTotals(const WhiteBalanceTotals& totals, uint32_t* red, uint32_t* green,
                     uint32_t* blue);

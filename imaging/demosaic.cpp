// Choice of instruction set for the demosaic kernels, the extended-state
// bracket around the AVX2 ones, and the white-balance gain formula they share.
#include "imaging/demosaic.h"

#include "driver/kernel.h"

#if !defined(XSTATE_MASK_AVX)
// Missing from the mingw-w64 DDK headers (which spell their own masks with a
// literal suffix C++ rejects): state component 2, the upper halves of the
// 256-bit registers.
#define XSTATE_MASK_AVX (1ull << 2)
#endif

extern const DemosaicKernels kDemosaicAvx2Unguarded;

namespace {

// The kernel may switch threads while a kernel runs (it is passive-level
// code), and only the state saved here survives that for the upper halves of
// the 256-bit registers. If it cannot be saved the SSE2 kernel does the work.
template <class Kernel, class... Arguments>
void WithExtendedState(Kernel avx2, Kernel sse2, Arguments... arguments) {
  XSTATE_SAVE state;
  if (!NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &state))) {
    sse2(arguments...);
    return;
  }
  avx2(arguments...);
  KeRestoreExtendedProcessorState(&state);
}

template <int variant>
void GuardedColour(ImagePipeline* p, uint32_t firstRow, uint32_t endRow) {
  WithExtendedState(kDemosaicAvx2Unguarded.colour[variant], kDemosaicSse2.colour[variant], p,
                    firstRow, endRow);
}

template <int variant>
void GuardedGrey(ImagePipeline* p, uint32_t firstRow, uint32_t endRow) {
  WithExtendedState(kDemosaicAvx2Unguarded.grey[variant], kDemosaicSse2.grey[variant], p, firstRow,
                    endRow);
}

template <int variant>
void GuardedMeasure(ImagePipeline* p, uint32_t firstRow, uint32_t endRow,
                    WhiteBalanceTotals* totals) {
  WithExtendedState(kDemosaicAvx2Unguarded.measure[variant], kDemosaicSse2.measure[variant], p,
                    firstRow, endRow, totals);
}

struct CpuidResult {
  uint32_t eax, ebx, ecx, edx;
};

// Our own instruction wrappers: the compiler's cpuid header and the platform
// headers of the kernel build define clashing __cpuid macros.
CpuidResult Cpuid(uint32_t leaf, uint32_t subleaf) {
  CpuidResult r;
  __asm__ volatile("cpuid"
                   : "=a"(r.eax), "=b"(r.ebx), "=c"(r.ecx), "=d"(r.edx)
                   : "a"(leaf), "c"(subleaf));
  return r;
}

uint32_t XCR0Low() {
  uint32_t low, high;
  __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return low;
}

bool DetectAvx2() {
  if (Cpuid(0, 0).eax < 7) return false;
  const uint32_t osxsave = 1u << 27, avx = 1u << 28;
  if ((Cpuid(1, 0).ecx & (osxsave | avx)) != (osxsave | avx)) return false;
  // The operating system must save the SSE and the 256-bit AVX state.
  if ((XCR0Low() & 6) != 6) return false;
  return (Cpuid(7, 0).ebx & (1u << 5)) != 0;
}

// 0 not yet known, 1 absent, 2 present.
volatile LONG avx2Support = 0;

uint32_t GainValue(double gain) { return static_cast<uint32_t>(gain < 65535.0 ? gain : 65535.0); }

}  // namespace

constinit const DemosaicKernels kDemosaicAvx2 = {
    {GuardedColour<0>, GuardedColour<1>, GuardedColour<2>, GuardedColour<3>},
    {GuardedGrey<0>, GuardedGrey<1>, GuardedGrey<2>, GuardedGrey<3>},
    {GuardedMeasure<0>, GuardedMeasure<1>, GuardedMeasure<2>, GuardedMeasure<3>},
};

bool CpuHasAvx2() {
  LONG known = InterlockedCompareExchange(&avx2Support, 0, 0);
  if (known == 0) {
    known = DetectAvx2() ? 2 : 1;
    InterlockedExchange(&avx2Support, known);
  }
  return known == 2;
}

const DemosaicKernels& BestDemosaicKernels() {
  return CpuHasAvx2() ? kDemosaicAvx2 : kDemosaicSse2;
}

void GainsFromTotals(const WhiteBalanceTotals& totals, uint32_t* red, uint32_t* green,
                     uint32_t* blue) {
  if (totals.red == 0 || totals.green == 0 || totals.blue == 0) return;
  double sumR = static_cast<double>(totals.red);
  double sumG = static_cast<double>(totals.green);
  double sumB = static_cast<double>(totals.blue);
  double t = (sumG + sumR) + sumB;
  double g = (t / sumG) / 3.0;
  *red = GainValue(((t / sumR) / 3.0) * 128.0 / g);
  *blue = GainValue(((t / sumB) / 3.0) * 128.0 / g);
  *green = 128;
}

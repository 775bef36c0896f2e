// The SSE2 build of the demosaic kernels.
#include "imaging/demosaic_kernels.h"
#include "imaging/simd_sse2.h"

constinit const DemosaicKernels kDemosaicSse2 = MakeKernelTable<Sse2, Sse2>();

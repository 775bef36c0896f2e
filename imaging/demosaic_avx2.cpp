// The AVX2 build of the demosaic kernels: 32-position blocks while a whole one
// fits inside the frame, the 16-position blocks of the SSE2 kernels (here in
// VEX encoding) for the rest of a row. Compiled with AVX2 code generation, so
// nothing here may run before the caller has saved the extended processor
// state: demosaic.cpp calls these only between KeSaveExtendedProcessorState
// and KeRestoreExtendedProcessorState.
#include "imaging/demosaic_kernels.h"
#include "imaging/simd_avx2.h"
#include "imaging/simd_sse2.h"

extern constinit const DemosaicKernels kDemosaicAvx2Unguarded = MakeKernelTable<Avx2, Sse2>();

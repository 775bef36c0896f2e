// Conversion of one raw Bayer frame into the pipeline's 32-bit output image.
#pragma once

#include <stdint.h>

#include "imaging/demosaic.h"
#include "imaging/image_pipeline.h"

// Concurrency for a conversion split into row bands. The driver creates no
// threads of its own: whoever calls the conversion and owns threads (system
// worker threads in the kernel, ordinary threads on the host) supplies them.
class BandRunner {
 public:
  // Calls work(context, band) once for every band 0 .. bands - 1 and returns
  // when all calls have returned. The calls are independent of each other and
  // may run at the same time on different threads, in any order; what the
  // calling thread wrote before Run must be visible to every call, and what
  // the calls wrote must be visible to the calling thread after Run (starting
  // and joining threads, or signalling and waiting on events, gives both).
  virtual void Run(void (*work)(void* context, uint32_t band), void* context, uint32_t bands) = 0;

 protected:
  ~BandRunner() = default;
};

// More bands than this are run as this many.
constexpr uint32_t kMaxConversionBands = 16;

// Sample (x, y) of the raw frame is raw[lineOffset + y * rowPitch + x], in a
// raw buffer of rawBytes bytes. Fills outputImage top row first (blue, green,
// red, 255 per pixel); with automatic white balance also stores the measured
// gains. Returns false and touches nothing without an output image, raw frame
// or work buffer, or when the layout does not fit: rows wider than their
// pitch, or a last row that ends beyond the raw buffer. Never call twice at
// once on one pipeline.
//
// With a runner the frame is cut into `bands` bands of whole rows that the
// runner works on concurrently; the image and the gains are bit for bit those
// of the conversion without a runner, which runs everything on the calling
// thread.
bool ConvertFrame(ImagePipeline* pipeline, const uint8_t* raw, uint32_t rawBytes, uint32_t lineOffset,
                  uint32_t rowPitch, BandRunner* runner = nullptr, uint32_t bands = 1);
// The same with a chosen kernel set (tests and benchmarks compare them).
bool ConvertFrameWith(const DemosaicKernels& kernels, ImagePipeline* pipeline, const uint8_t* raw,
                      uint32_t rawBytes, uint32_t lineOffset, uint32_t rowPitch,
                      BandRunner* runner = nullptr, uint32_t bands = 1);

// Copies fixedMatrix to matrixSnapshot with the sign of each entry in
// positiveMask, atomically with respect to a rebuild.
void TakeMatrixSnapshot(ImagePipeline* pipeline);

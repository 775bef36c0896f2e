// Conversion of one raw Bayer frame into the pipeline's 32-bit output image.
#pragma once

#include <stdint.h>

#include "imaging/demosaic.h"
#include "imaging/image_pipeline.h"

// Sample (x, y) of the raw frame is raw[lineOffset + y * rowPitch + x]. Fills
// outputImage top row first (blue, green, red, 255 per pixel); with automatic
// white balance also stores the measured gains. Does nothing without an
// output image, raw frame or work buffer. Never call twice at once on one
// pipeline.
void ConvertFrame(ImagePipeline* pipeline, const uint8_t* raw, uint32_t lineOffset,
                  uint32_t rowPitch);
// The same with a chosen kernel set (tests and benchmarks compare them).
void ConvertFrameWith(const DemosaicKernels& kernels, ImagePipeline* pipeline, const uint8_t* raw,
                      uint32_t lineOffset, uint32_t rowPitch);

// Copies the frame into the work buffer and surrounds it with two margin
// samples on every side, each repeating a sample of the same colour filter.
void FillWorkBuffer(ImagePipeline* pipeline, const uint8_t* raw, uint32_t lineOffset,
                    uint32_t rowPitch);

// Copies fixedMatrix to matrixSnapshot with the sign of each entry in
// positiveMask, atomically with respect to a rebuild.
void TakeMatrixSnapshot(ImagePipeline* pipeline);

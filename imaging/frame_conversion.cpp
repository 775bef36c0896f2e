// Per-frame conversion: the raw frame into the work buffer with margins, the
// snapshot of gains and matrix, and the kernels the settings call for.
#include "imaging/frame_conversion.h"

namespace {

// The kernels read the geometry copies that AllocateWorkBuffer made; a buffer
// allocated for another geometry must not be filled with this one.
bool WorkBufferMatchesGeometry(const ImagePipeline* p) {
  return p->width == static_cast<uint32_t>(p->frameWidth) &&
         p->height == static_cast<uint32_t>(p->frameHeight) &&
         p->pitch == static_cast<int32_t>(p->workPitch) && p->workPitch != 0;
}

uint8_t* WorkRow(const ImagePipeline* p, int64_t y) {
  return p->workBuffer + (y + 2) * static_cast<int64_t>(p->workPitch) + 5;
}

}  // namespace

// Every margin sample repeats one whose row and column have the same parity as
// its own, so the colour-filter layout runs on unbroken into the margins. The
// top and left margins mirror rows/columns 2 and 1; the right margin mirrors
// columns W - 2 and W - 3; the rows below repeat rows H - 4 and H - 3.
void FillWorkBuffer(ImagePipeline* pipeline, const uint8_t* raw, uint32_t lineOffset,
                    uint32_t rowPitch) {
  const uint32_t width = static_cast<uint32_t>(pipeline->frameWidth);
  const uint32_t height = static_cast<uint32_t>(pipeline->frameHeight);
  for (uint32_t y = 0; y < height; ++y)
    memcpy(WorkRow(pipeline, y), raw + lineOffset + size_t{y} * rowPitch, width);
  if (width < 8 || height < 8) return;  // too small to mirror: margins stay zero

  memcpy(WorkRow(pipeline, -2), WorkRow(pipeline, 2), width);
  memcpy(WorkRow(pipeline, -1), WorkRow(pipeline, 1), width);
  memcpy(WorkRow(pipeline, height), WorkRow(pipeline, height - 4), width);
  memcpy(WorkRow(pipeline, height + 1), WorkRow(pipeline, height - 3), width);

  for (int64_t y = -2; y <= static_cast<int64_t>(height) + 1; ++y) {
    uint8_t* row = WorkRow(pipeline, y);
    row[-1] = row[1];
    row[-2] = row[2];
    row[width] = row[width - 2];
    row[width + 1] = row[width - 3];
  }
}

void TakeMatrixSnapshot(ImagePipeline* pipeline) {
  KeEnterCriticalRegion();
  KIRQL oldIrql;
  KeAcquireSpinLock(&pipeline->matrixLock, &oldIrql);
  for (int k = 0; k < 16; ++k) {
    pipeline->positiveMask[k] = pipeline->fixedMatrix[k] > 0 ? 1 : 0;
    pipeline->matrixSnapshot[k] = pipeline->fixedMatrix[k];
  }
  KeReleaseSpinLock(&pipeline->matrixLock, oldIrql);
  KeLeaveCriticalRegion();
}

void ConvertFrame(ImagePipeline* pipeline, const uint8_t* raw, uint32_t lineOffset,
                  uint32_t rowPitch) {
  ConvertFrameWith(BestDemosaicKernels(), pipeline, raw, lineOffset, rowPitch);
}

// Each parameter is read once, so the whole frame sees one value of each.
// Kernels run per frame:
//   automatic white balance off: colour or grey image, as colourEnable says;
//   on: the measurement first, whose gains become the stored gains and are
//       applied to this same frame, then the colour or grey image.
void ConvertFrameWith(const DemosaicKernels& kernels, ImagePipeline* pipeline, const uint8_t* raw,
                      uint32_t lineOffset, uint32_t rowPitch) {
  if (pipeline->outputImage == nullptr || raw == nullptr || pipeline->workBuffer == nullptr) return;
  if (!WorkBufferMatchesGeometry(pipeline)) return;
  FillWorkBuffer(pipeline, raw, lineOffset, rowPitch);
  pipeline->destination = pipeline->outputImage;
  pipeline->redGainInUse = static_cast<uint32_t>(ReadParameter(&pipeline->redGain));
  pipeline->greenGainInUse = static_cast<uint32_t>(ReadParameter(&pipeline->greenGain));
  pipeline->blueGainInUse = static_cast<uint32_t>(ReadParameter(&pipeline->blueGain));
  const int variant = KernelVariant(ReadParameter(&pipeline->bayerPhase));

  if (ReadParameter(&pipeline->autoWhiteBalance) != 0) {
    kernels.measure[variant](pipeline, &pipeline->redGainInUse, &pipeline->greenGainInUse,
                             &pipeline->blueGainInUse);
    WriteParameter(&pipeline->redGain, static_cast<LONG>(pipeline->redGainInUse));
    WriteParameter(&pipeline->greenGain, static_cast<LONG>(pipeline->greenGainInUse));
    WriteParameter(&pipeline->blueGain, static_cast<LONG>(pipeline->blueGainInUse));
  }

  TakeMatrixSnapshot(pipeline);
  if (ReadParameter(&pipeline->colourEnable) != 0)
    kernels.colour[variant](pipeline);
  else
    kernels.grey[variant](pipeline);
}

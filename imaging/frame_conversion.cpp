// Per-frame conversion: the raw frame into the work buffer with margins, the
// snapshot of gains and matrix, and the kernels the settings call for, either
// on the calling thread or in row bands on threads a BandRunner supplies.
#include "imaging/frame_conversion.h"

namespace {

// The kernels read the geometry copies that AllocateWorkBuffer made; a buffer
// allocated for another geometry must not be filled with this one.
bool WorkBufferMatchesGeometry(const ImagePipeline* p) {
  return p->width == static_cast<uint32_t>(p->frameWidth) &&
         p->height == static_cast<uint32_t>(p->frameHeight) &&
         p->pitch == static_cast<int32_t>(p->workPitch) && p->workPitch != 0;
}

// The layout comes from the camera object and the buffer from the capture
// stream; the frame the pipeline's geometry describes must lie inside the
// buffer, row by row. Sixty-four bits: no 32-bit layout can overflow them.
bool RawFrameFits(const ImagePipeline* p, uint32_t rawBytes, uint32_t lineOffset, uint32_t rowPitch) {
  const uint64_t width = static_cast<uint32_t>(p->frameWidth);
  const uint64_t height = static_cast<uint32_t>(p->frameHeight);
  if (width > rowPitch) return false;
  if (height == 0) return true;
  return uint64_t{lineOffset} + (height - 1) * rowPitch + width <= rawBytes;
}

uint8_t* WorkRow(const ImagePipeline* p, int64_t y) {
  return p->workBuffer + (y + 2) * static_cast<int64_t>(p->workPitch) + 5;
}

// Below 8 samples in either direction the mirror sources (columns and rows 1,
// 2 and W - 3, W - 2 or H - 4, H - 3) do not all exist: the margins stay as
// they are (zero from the allocation).
bool HasMargins(uint32_t width, uint32_t height) { return width >= 8 && height >= 8; }

// Every margin sample repeats one whose row and column have the same parity as
// its own, so the colour-filter layout runs on unbroken into the margins. The
// left margin mirrors columns 2 and 1, the right margin columns W - 2 and W - 3.
void MirrorColumns(uint8_t* row, uint32_t width) {
  row[-1] = row[1];
  row[-2] = row[2];
  row[width] = row[width - 2];
  row[width + 1] = row[width - 3];
}

// Frame rows firstRow .. endRow - 1 with their left and right margins. Rows
// are independent, so disjoint ranges may be filled at the same time.
void FillFrameRows(ImagePipeline* p, const uint8_t* raw, uint32_t lineOffset, uint32_t rowPitch,
                   uint32_t firstRow, uint32_t endRow) {
  const uint32_t width = static_cast<uint32_t>(p->frameWidth);
  const bool margins = HasMargins(width, static_cast<uint32_t>(p->frameHeight));
  for (uint32_t y = firstRow; y < endRow; ++y) {
    uint8_t* row = WorkRow(p, y);
    memcpy(row, raw + lineOffset + size_t{y} * rowPitch, width);
    if (margins) MirrorColumns(row, width);
  }
}

// The rows above mirror rows 2 and 1; the rows below repeat rows H - 4 and
// H - 3. Each source row already has its left and right margins, which are
// same-row mirrors, so copying it whole (columns -2 .. W + 1) gives the margin
// row its own left and right margins as well. Needs every frame row filled.
void FillMarginRows(ImagePipeline* p) {
  const uint32_t width = static_cast<uint32_t>(p->frameWidth);
  const uint32_t height = static_cast<uint32_t>(p->frameHeight);
  if (!HasMargins(width, height)) return;
  const int64_t copies[4][2] = {{-2, 2}, {-1, 1}, {height, height - 4}, {height + 1, height - 3}};
  for (const auto& copy : copies)
    memcpy(WorkRow(p, copy[0]) - 2, WorkRow(p, copy[1]) - 2, size_t{width} + 4);
}

// One conversion's work, shared by its bands. Band b covers frame rows
// height * b / bands .. height * (b + 1) / bands - 1.
struct BandedConversion {
  const DemosaicKernels* kernels;
  ImagePipeline* pipeline;
  const uint8_t* raw;
  uint32_t lineOffset;
  uint32_t rowPitch;
  uint32_t bands;
  int variant;
  bool colour;
  WhiteBalanceTotals totals[kMaxConversionBands];  // one per band

  uint32_t BandStart(uint32_t band) const {
    return static_cast<uint32_t>(uint64_t{pipeline->height} * band / bands);
  }
};

void FillBand(void* context, uint32_t band) {
  BandedConversion* c = static_cast<BandedConversion*>(context);
  FillFrameRows(c->pipeline, c->raw, c->lineOffset, c->rowPitch, c->BandStart(band),
                c->BandStart(band + 1));
}

void MeasureBand(void* context, uint32_t band) {
  BandedConversion* c = static_cast<BandedConversion*>(context);
  c->totals[band] = {0, 0, 0};
  c->kernels->measure[c->variant](c->pipeline, c->BandStart(band), c->BandStart(band + 1),
                                  &c->totals[band]);
}

void ImageBand(void* context, uint32_t band) {
  BandedConversion* c = static_cast<BandedConversion*>(context);
  const DemosaicKernels& k = *c->kernels;
  ImageKernel kernel = c->colour ? k.colour[c->variant] : k.grey[c->variant];
  kernel(c->pipeline, c->BandStart(band), c->BandStart(band + 1));
}

// One band runs on the calling thread without going through a runner.
void RunBands(BandRunner* runner, void (*work)(void*, uint32_t), BandedConversion* c) {
  if (c->bands == 1)
    work(c, 0);
  else
    runner->Run(work, c, c->bands);
}

}  // namespace

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

bool ConvertFrame(ImagePipeline* pipeline, const uint8_t* raw, uint32_t rawBytes, uint32_t lineOffset,
                  uint32_t rowPitch, BandRunner* runner, uint32_t bands) {
  return ConvertFrameWith(BestDemosaicKernels(), pipeline, raw, rawBytes, lineOffset, rowPitch, runner,
                          bands);
}

// Each parameter is read once, so the whole frame sees one value of each.
// Kernels run per frame:
//   automatic white balance off: colour or grey image, as colourEnable says;
//   on: the measurement first, whose gains become the stored gains and are
//       applied to this same frame, then the colour or grey image.
// In bands the steps are separated by the runner's returns: a band's kernel
// reads two rows beyond each end of its band, which other bands (or the
// margin rows) fill, and the gains need the sums of every band.
bool ConvertFrameWith(const DemosaicKernels& kernels, ImagePipeline* pipeline, const uint8_t* raw,
                      uint32_t rawBytes, uint32_t lineOffset, uint32_t rowPitch, BandRunner* runner,
                      uint32_t bands) {
  if (pipeline->outputImage == nullptr || raw == nullptr || pipeline->workBuffer == nullptr) return false;
  if (!WorkBufferMatchesGeometry(pipeline)) return false;
  if (!RawFrameFits(pipeline, rawBytes, lineOffset, rowPitch)) return false;

  BandedConversion c;
  c.kernels = &kernels;
  c.pipeline = pipeline;
  c.raw = raw;
  c.lineOffset = lineOffset;
  c.rowPitch = rowPitch;
  c.bands = 1;
  if (runner != nullptr && bands > 1)
    c.bands = bands < kMaxConversionBands ? bands : kMaxConversionBands;

  RunBands(runner, FillBand, &c);
  FillMarginRows(pipeline);

  pipeline->destination = pipeline->outputImage;
  pipeline->redGainInUse = static_cast<uint32_t>(ReadParameter(&pipeline->redGain));
  pipeline->greenGainInUse = static_cast<uint32_t>(ReadParameter(&pipeline->greenGain));
  pipeline->blueGainInUse = static_cast<uint32_t>(ReadParameter(&pipeline->blueGain));
  c.variant = KernelVariant(ReadParameter(&pipeline->bayerPhase));

  if (ReadParameter(&pipeline->autoWhiteBalance) != 0) {
    RunBands(runner, MeasureBand, &c);
    // Integer sums: the same totals in any split.
    WhiteBalanceTotals frame = {0, 0, 0};
    for (uint32_t band = 0; band < c.bands; ++band) {
      frame.red += c.totals[band].red;
      frame.green += c.totals[band].green;
      frame.blue += c.totals[band].blue;
    }
    GainsFromTotals(frame, &pipeline->redGainInUse, &pipeline->greenGainInUse,
                    &pipeline->blueGainInUse);
    WriteParameter(&pipeline->redGain, static_cast<LONG>(pipeline->redGainInUse));
    WriteParameter(&pipeline->greenGain, static_cast<LONG>(pipeline->greenGainInUse));
    WriteParameter(&pipeline->blueGain, static_cast<LONG>(pipeline->blueGainInUse));
  }

  TakeMatrixSnapshot(pipeline);
  c.colour = ReadParameter(&pipeline->colourEnable) != 0;
  RunBands(runner, ImageBand, &c);
  return true;
}

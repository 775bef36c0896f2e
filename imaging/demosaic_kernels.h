// The demosaic kernels, written once over a vector type (Sse2 or Avx2 from
// simd_*.h) and the colour-filter layout, and instantiated by one translation
// unit per instruction set. Anonymous namespace: see simd_sse2.h.
//
// A row is processed in blocks of Isa::kPositions sample positions. Each block
// is two vectors of 16-bit lanes, one for the even columns and one for the odd
// columns, so within a vector every lane has the same colour filter: which
// interpolation rule gives which colour is then fixed per vector by the
// layout and the row parity, and is chosen at compile time. All arithmetic is
// exact integer arithmetic, so any vector width gives identical results.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "imaging/demosaic.h"
#include "imaging/image_pipeline.h"

// The per-block steps are small functions for reading's sake; they must all
// melt into one loop body, or the 16 neighbourhood vectors travel through
// memory between them.
#define KSCAM_BLOCK_STEP inline __attribute__((always_inline))

namespace {

// ---------------------------------------------------------------------------
// Colour-filter layout.
// ---------------------------------------------------------------------------

enum class Site { kRed, kBlue, kGreenInRedRow, kGreenInBlueRow };

// Layout of variant 0 is G R / B G. Bit 0 of the variant shifts it down by one
// row, bit 1 across by one column.
constexpr Site SiteOf(int variant, int column, int row) {
  int x = (column + (variant >> 1)) & 1;
  int y = (row + (variant & 1)) & 1;
  if (x != y) return y == 0 ? Site::kRed : Site::kBlue;
  return y == 0 ? Site::kGreenInRedRow : Site::kGreenInBlueRow;
}

// ---------------------------------------------------------------------------
// The 5 x 5 neighbourhood of every position of a block.
// ---------------------------------------------------------------------------

template <class Isa>
struct Window {
  using V = typename Isa::V;
  // x is the even position of each lane.
  V row[6];                // P(x - 2 + i, y)
  V above1[4], below1[4];  // P(x - 1 + i, y -/+ 1)
  V above2[2], below2[2];  // P(x + i, y -/+ 2)
};

// One unaligned load gives a pair of neighbouring columns for every lane.
template <class Isa>
KSCAM_BLOCK_STEP void LoadPair(const uint8_t* p, typename Isa::V& even, typename Isa::V& odd) {
  typename Isa::V v = Isa::Load(p);
  even = Isa::LowBytes(v);
  odd = Isa::HighBytes(v);
}

// Reads columns x0 - 2 .. x0 + kPositions + 1 of rows y - 2 .. y + 2.
template <class Isa>
KSCAM_BLOCK_STEP Window<Isa> LoadWindow(const uint8_t* at, ptrdiff_t pitch) {
  Window<Isa> w;
  LoadPair<Isa>(at - 2, w.row[0], w.row[1]);
  LoadPair<Isa>(at, w.row[2], w.row[3]);
  LoadPair<Isa>(at + 2, w.row[4], w.row[5]);
  LoadPair<Isa>(at - pitch - 1, w.above1[0], w.above1[1]);
  LoadPair<Isa>(at - pitch + 1, w.above1[2], w.above1[3]);
  LoadPair<Isa>(at + pitch - 1, w.below1[0], w.below1[1]);
  LoadPair<Isa>(at + pitch + 1, w.below1[2], w.below1[3]);
  LoadPair<Isa>(at - 2 * pitch, w.above2[0], w.above2[1]);
  LoadPair<Isa>(at + 2 * pitch, w.below2[0], w.below2[1]);
  return w;
}

template <class Isa>
struct Neighbourhood {
  using V = typename Isa::V;
  V centre;
  V left1, right1, up1, down1;  // distance 1
  V left2, right2, up2, down2;  // distance 2
  V diagonals;                  // sum of the four diagonal neighbours
};

// Neighbourhood of the even (odd = 0) or odd (odd = 1) positions.
template <class Isa, int odd>
KSCAM_BLOCK_STEP Neighbourhood<Isa> At(const Window<Isa>& w) {
  Neighbourhood<Isa> n;
  n.centre = w.row[2 + odd];
  n.left1 = w.row[1 + odd];
  n.right1 = w.row[3 + odd];
  n.left2 = w.row[odd];
  n.right2 = w.row[4 + odd];
  n.up1 = w.above1[1 + odd];
  n.down1 = w.below1[1 + odd];
  n.up2 = w.above2[odd];
  n.down2 = w.below2[odd];
  n.diagonals = Isa::Add(Isa::Add(w.above1[odd], w.above1[2 + odd]),
                         Isa::Add(w.below1[odd], w.below1[2 + odd]));
  return n;
}

// ---------------------------------------------------------------------------
// Malvar-He-Cutler interpolation: five linear rules over the neighbourhood,
// each with weights summing to its divisor, rounded and clipped to 0..255.
// Every sum lies within -3060..7140, so 16-bit lanes hold them exactly.
// ---------------------------------------------------------------------------

template <class Isa>
struct Rgb {
  typename Isa::V r, g, b;
};

template <class Isa, int k>
KSCAM_BLOCK_STEP typename Isa::V Times(typename Isa::V v) {
  return Isa::MulLow(v, Isa::Splat(k));
}

// min(255, (max(sum, 0) + bias) >> shift)
template <class Isa, int bias, int shift>
KSCAM_BLOCK_STEP typename Isa::V Clip(typename Isa::V sum) {
  typename Isa::V rounded = Isa::Add(Isa::Max(sum, Isa::Zero()), Isa::Splat(bias));
  return Isa::Min(Isa::template ShiftRight<shift>(rounded), Isa::Splat(255));
}

template <class Isa>
struct Rules {
  typename Isa::V own, green, alongRow, alongColumn, diagonal;
};

template <class Isa>
KSCAM_BLOCK_STEP Rules<Isa> EvaluateRules(const Neighbourhood<Isa>& n) {
  using I = Isa;
  auto horizontal1 = I::Add(n.left1, n.right1), vertical1 = I::Add(n.up1, n.down1);
  auto horizontal2 = I::Add(n.left2, n.right2), vertical2 = I::Add(n.up2, n.down2);
  auto cross2 = I::Add(horizontal2, vertical2);
  auto twiceDiagonals = I::template ShiftLeft<1>(n.diagonals);
  auto tenCentre = Times<I, 10>(n.centre);

  Rules<Isa> rules;
  rules.own = n.centre;
  // 4c + 2(u1 + d1 + l1 + r1) - (u2 + d2 + l2 + r2), over 8
  rules.green =
      Clip<I, 4, 3>(I::Sub(I::Add(I::template ShiftLeft<2>(n.centre),
                                  I::template ShiftLeft<1>(I::Add(horizontal1, vertical1))),
                           cross2));
  // 10c + 8(l1 + r1) - 2(l2 + r2) - 2 dg + (u2 + d2), over 16
  rules.alongRow =
      Clip<I, 8, 4>(I::Add(I::Sub(I::Add(tenCentre, I::template ShiftLeft<3>(horizontal1)),
                                  I::Add(I::template ShiftLeft<1>(horizontal2), twiceDiagonals)),
                           vertical2));
  // 10c + 8(u1 + d1) - 2(u2 + d2) - 2 dg + (l2 + r2), over 16
  rules.alongColumn =
      Clip<I, 8, 4>(I::Add(I::Sub(I::Add(tenCentre, I::template ShiftLeft<3>(vertical1)),
                                  I::Add(I::template ShiftLeft<1>(vertical2), twiceDiagonals)),
                           horizontal2));
  // 12c + 4 dg - 3(u2 + d2 + l2 + r2), over 16
  rules.diagonal = Clip<I, 8, 4>(I::Sub(
      I::Add(Times<I, 12>(n.centre), I::template ShiftLeft<2>(n.diagonals)), Times<I, 3>(cross2)));
  return rules;
}

// Which rule yields which colour at a site. The compiler drops the rules a
// site does not use.
template <class Isa, Site site>
KSCAM_BLOCK_STEP Rgb<Isa> Interpolate(const Neighbourhood<Isa>& n) {
  Rules<Isa> x = EvaluateRules(n);
  if constexpr (site == Site::kRed) return {x.own, x.green, x.diagonal};
  if constexpr (site == Site::kBlue) return {x.diagonal, x.green, x.own};
  if constexpr (site == Site::kGreenInRedRow) return {x.alongRow, x.own, x.alongColumn};
  if constexpr (site == Site::kGreenInBlueRow) return {x.alongColumn, x.own, x.alongRow};
}

// ---------------------------------------------------------------------------
// What the three kernel families do with the interpolated colours.
// ---------------------------------------------------------------------------

// White-balance gains, 128 = unity: min(255, (c * k) >> 7) with the exact
// product. (c << 8) times 2k, high 16 bits, is (c * k) >> 7 without forming
// the 24-bit product; a gain of 32767 already drives every nonzero sample to
// 255, so larger gains act as 32767 and 2k always fits 16 bits.
template <class Isa>
struct Gains {
  typename Isa::V red, green, blue;

  explicit Gains(const ImagePipeline* p)
      : red(Twice(p->redGainInUse)),
        green(Twice(p->greenGainInUse)),
        blue(Twice(p->blueGainInUse)) {}

  KSCAM_BLOCK_STEP Rgb<Isa> Apply(const Rgb<Isa>& c) const {
    return {Scale(c.r, red), Scale(c.g, green), Scale(c.b, blue)};
  }

 private:
  static typename Isa::V Twice(uint32_t gain) {
    return Isa::Splat(2 * (gain < 32767 ? gain : 32767));
  }
  KSCAM_BLOCK_STEP static typename Isa::V Scale(typename Isa::V c, typename Isa::V twiceGain) {
    auto scaled = Isa::MulHighUnsigned(Isa::template ShiftLeft<8>(c), twiceGain);
    // min(scaled, 255) on unsigned lanes
    auto headroom = Isa::Splat(0xFF00);
    return Isa::SubSaturate(Isa::AddSaturate(scaled, headroom), headroom);
  }
};

// The colour matrix: out_j = (pos_j >> 6) - (neg_j >> 6), where pos_j and
// neg_j sum c_i * |m_ij| over the positive and the negative entries of
// column j (row 3 with c_3 = 1). Sums saturate at 65535 instead of wrapping,
// so an extreme setting clips a channel rather than inverting it. A magnitude
// above 65535 is taken as 65535: with any c_i >= 1 both saturate the sum.
//
// With every |m_ij| of rows 0..2 at most 257 a product is at most 65535 and a
// 16-bit multiply is exact; larger entries (extreme contrast or saturation)
// need the high half of the product to detect overflow: kWideProducts.
template <class Isa, bool kWideProducts>
struct ColourMatrix {
  using V = typename Isa::V;
  // |m_ij| split by sign: an entry's magnitude appears in exactly one of the
  // two, the other holds 0, so each product lands in its own sum.
  V positive[3][3], negative[3][3];
  V offsetPositive[3], offsetNegative[3];

  explicit ColourMatrix(const ImagePipeline* p) {
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 3; ++j) {
        int k = 4 * i + j;
        int magnitude = Magnitude(p->matrixSnapshot[k]);
        V pos = Isa::Splat(p->positiveMask[k] ? magnitude : 0);
        V neg = Isa::Splat(p->positiveMask[k] ? 0 : magnitude);
        if (i < 3) {
          positive[i][j] = pos;
          negative[i][j] = neg;
        } else {
          offsetPositive[j] = pos;
          offsetNegative[j] = neg;
        }
      }
  }

  static int Magnitude(int32_t entry) {
    int64_t m = entry < 0 ? -int64_t{entry} : entry;
    return m > 65535 ? 65535 : static_cast<int>(m);
  }

  static bool NeedsWideProducts(const ImagePipeline* p) {
    for (int k = 0; k < 12; ++k)
      if ((k & 3) != 3 && Magnitude(p->matrixSnapshot[k]) > 257) return true;
    return false;
  }

  // min(65535, c * m)
  KSCAM_BLOCK_STEP static V Product(V c, V m) {
    V low = Isa::MulLow(c, m);
    if (!kWideProducts) return low;
    V overflow = Isa::Greater(Isa::MulHighUnsigned(c, m), Isa::Zero());
    return Isa::Or(low, overflow);
  }

  KSCAM_BLOCK_STEP void Accumulate(V in, int i, int j, V& pos, V& neg) const {
    pos = Isa::AddSaturate(pos, Product(in, positive[i][j]));
    neg = Isa::AddSaturate(neg, Product(in, negative[i][j]));
  }

  KSCAM_BLOCK_STEP V Channel(const Rgb<Isa>& c, int j) const {
    V pos = offsetPositive[j], neg = offsetNegative[j];
    Accumulate(c.r, 0, j, pos, neg);
    Accumulate(c.g, 1, j, pos, neg);
    Accumulate(c.b, 2, j, pos, neg);
    // Each sum is shifted on its own; the difference may be negative or
    // above 255 and is clamped when the pixels are packed.
    return Isa::Sub(Isa::template ShiftRight<6>(pos), Isa::template ShiftRight<6>(neg));
  }
};

// Common output side of DemosaicColour and DemosaicGrey: 4 bytes per pixel,
// rows one after the other, only the frame's own positions written.
template <class Isa>
class ImageWriter {
 public:
  explicit ImageWriter(const ImagePipeline* p)
      : destination_(p->destination), width_(p->width), stream_(CanStream(p)) {}

  void BeginRow(uint32_t y) { row_ = destination_ + size_t{4} * width_ * y; }
  void EndRow() {}
  // Streaming stores are weakly ordered: fence them on the thread that made
  // them, before whoever waits for these rows reads the image.
  void EndRows() {
    if (stream_) Isa::StoreFence();
  }

  KSCAM_BLOCK_STEP void Write(uint32_t x0, uint32_t count, const Rgb<Isa>& even,
                              const Rgb<Isa>& odd) {
    auto b = Isa::Interleave(even.b, odd.b);
    auto g = Isa::Interleave(even.g, odd.g);
    auto r = Isa::Interleave(even.r, odd.r);
    if (count == Isa::kPositions) {
      if (stream_)
        Isa::template StoreBgra<true>(row_ + 4 * x0, b, g, r);
      else
        Isa::template StoreBgra<false>(row_ + 4 * x0, b, g, r);
      return;
    }
    uint8_t block[4 * Isa::kPositions];
    Isa::template StoreBgra<false>(block, b, g, r);
    memcpy(row_ + 4 * x0, block, 4 * count);
  }

 private:
  // Streaming stores need every whole block aligned to its own size: a
  // 64-byte aligned image whose rows are a multiple of 64 bytes.
  static bool CanStream(const ImagePipeline* p) {
    return reinterpret_cast<uintptr_t>(p->destination) % 64 == 0 && p->width % 16 == 0;
  }

  uint8_t* destination_;
  uint32_t width_;
  bool stream_;
  uint8_t* row_ = nullptr;
};

template <class Isa, bool kWideProducts>
class ColourSink : public ImageWriter<Isa> {
 public:
  explicit ColourSink(const ImagePipeline* p) : ImageWriter<Isa>(p), gains_(p), matrix_(p) {}

  KSCAM_BLOCK_STEP void Take(uint32_t x0, uint32_t count, const Rgb<Isa>& even,
                             const Rgb<Isa>& odd) {
    this->Write(x0, count, Transform(even), Transform(odd));
  }

 private:
  KSCAM_BLOCK_STEP Rgb<Isa> Transform(const Rgb<Isa>& c) const {
    Rgb<Isa> balanced = gains_.Apply(c);
    return {matrix_.Channel(balanced, 0), matrix_.Channel(balanced, 1),
            matrix_.Channel(balanced, 2)};
  }

  Gains<Isa> gains_;
  ColourMatrix<Isa, kWideProducts> matrix_;
};

template <class Isa>
using ColourSinkNarrowProducts = ColourSink<Isa, false>;
template <class Isa>
using ColourSinkWideProducts = ColourSink<Isa, true>;

// Y = (77 R >> 8) + (150 G >> 8) + (29 B >> 8): the high half of c times
// (weight << 8) is (c * weight) >> 8.
template <class Isa>
class GreySink : public ImageWriter<Isa> {
 public:
  explicit GreySink(const ImagePipeline* p) : ImageWriter<Isa>(p), gains_(p) {}

  KSCAM_BLOCK_STEP void Take(uint32_t x0, uint32_t count, const Rgb<Isa>& even,
                             const Rgb<Isa>& odd) {
    auto y0 = Luminance(gains_.Apply(even)), y1 = Luminance(gains_.Apply(odd));
    this->Write(x0, count, {y0, y0, y0}, {y1, y1, y1});
  }

 private:
  KSCAM_BLOCK_STEP static typename Isa::V Luminance(const Rgb<Isa>& c) {
    return Isa::Add(Isa::Add(Isa::MulHighUnsigned(c.r, Isa::Splat(77 << 8)),
                             Isa::MulHighUnsigned(c.g, Isa::Splat(150 << 8))),
                    Isa::MulHighUnsigned(c.b, Isa::Splat(29 << 8)));
  }

  Gains<Isa> gains_;
};

// Sums of the interpolated colours over the frame's own positions. Lanes
// accumulate one row in 32 bits and are added into 64-bit totals at the end
// of each row, so no frame size can overflow them.
template <class Isa>
class MeasureSink {
 public:
  explicit MeasureSink(WhiteBalanceTotals* totals) : totals_(totals) {}

  void BeginRow(uint32_t) { red_ = green_ = blue_ = Isa::Zero(); }
  void EndRows() {}
  void EndRow() {
    totals_->red += Isa::Total32(red_);
    totals_->green += Isa::Total32(green_);
    totals_->blue += Isa::Total32(blue_);
  }

  KSCAM_BLOCK_STEP void Take(uint32_t, uint32_t count, const Rgb<Isa>& even, const Rgb<Isa>& odd) {
    if (count == Isa::kPositions) {
      Add(even, odd);
      return;
    }
    // Positions at or beyond the frame's right edge were computed from
    // margin and unwritten bytes: leave them out.
    auto limit = Isa::Splat(static_cast<int>(count));
    auto evenInside = Isa::Greater(limit, Isa::EvenPositions());
    auto oddInside = Isa::Greater(limit, Isa::Add(Isa::EvenPositions(), Isa::Splat(1)));
    Add(Mask(even, evenInside), Mask(odd, oddInside));
  }

 private:
  KSCAM_BLOCK_STEP static Rgb<Isa> Mask(const Rgb<Isa>& c, typename Isa::V inside) {
    return {Isa::And(c.r, inside), Isa::And(c.g, inside), Isa::And(c.b, inside)};
  }
  KSCAM_BLOCK_STEP void Add(const Rgb<Isa>& even, const Rgb<Isa>& odd) {
    red_ = Isa::AddPairs32(red_, Isa::Add(even.r, odd.r));
    green_ = Isa::AddPairs32(green_, Isa::Add(even.g, odd.g));
    blue_ = Isa::AddPairs32(blue_, Isa::Add(even.b, odd.b));
  }

  WhiteBalanceTotals* totals_;
  typename Isa::V red_, green_, blue_;
};

// ---------------------------------------------------------------------------
// Traversal: rows top to bottom; in each row, wide blocks while a whole one
// lies inside the frame, then narrow blocks (all 16 positions computed) up to
// the row's end. The narrow blocks never read further right than the work
// pitch allows for.
// ---------------------------------------------------------------------------

template <class Isa, int variant, int rowParity, class Sink>
KSCAM_BLOCK_STEP void ProcessBlock(const uint8_t* row, ptrdiff_t pitch, uint32_t x0, uint32_t count,
                                   Sink& sink) {
  constexpr Site evenSite = SiteOf(variant, 0, rowParity);
  constexpr Site oddSite = SiteOf(variant, 1, rowParity);
  Window<Isa> w = LoadWindow<Isa>(row + x0, pitch);
  sink.Take(x0, count, Interpolate<Isa, evenSite>(At<Isa, 0>(w)),
            Interpolate<Isa, oddSite>(At<Isa, 1>(w)));
}

template <int variant, int rowParity, class Wide, class Narrow, class WideSink, class NarrowSink>
void ProcessRow(const uint8_t* row, ptrdiff_t pitch, uint32_t width, WideSink& wide,
                NarrowSink& narrow) {
  uint32_t x0 = 0;
  for (; width - x0 >= Wide::kPositions; x0 += Wide::kPositions)
    ProcessBlock<Wide, variant, rowParity>(row, pitch, x0, Wide::kPositions, wide);
  for (; x0 < width; x0 += Narrow::kPositions) {
    uint32_t count = width - x0 < Narrow::kPositions ? width - x0 : Narrow::kPositions;
    ProcessBlock<Narrow, variant, rowParity>(row, pitch, x0, count, narrow);
  }
}

// Rows firstRow .. endRow - 1. Every row depends only on the work buffer, so
// any split of the frame into row ranges gives the same pixels and sums.
template <int variant, class Wide, class Narrow, class WideSink, class NarrowSink>
void ProcessRows(const ImagePipeline* p, uint32_t firstRow, uint32_t endRow, WideSink& wide,
                 NarrowSink& narrow) {
  ptrdiff_t pitch = p->pitch;
  const uint8_t* row = p->pixelOrigin + ptrdiff_t{firstRow} * pitch;
  bool oddRow = (firstRow & 1) != 0;  // which two colours the row holds
  for (uint32_t y = firstRow; y < endRow; ++y, row += pitch, oddRow = !oddRow) {
    wide.BeginRow(y);
    narrow.BeginRow(y);
    if (oddRow)
      ProcessRow<variant, 1, Wide, Narrow>(row, pitch, p->width, wide, narrow);
    else
      ProcessRow<variant, 0, Wide, Narrow>(row, pitch, p->width, wide, narrow);
    wide.EndRow();
    narrow.EndRow();
  }
  wide.EndRows();
  narrow.EndRows();
}

template <template <class> class Sink, int variant, class Wide, class Narrow>
void RunImageKernel(ImagePipeline* p, uint32_t firstRow, uint32_t endRow) {
  Sink<Wide> wide(p);
  Sink<Narrow> narrow(p);
  ProcessRows<variant, Wide, Narrow>(p, firstRow, endRow, wide, narrow);
}

// ---------------------------------------------------------------------------
// The three families, one instantiation per layout variant.
// ---------------------------------------------------------------------------

template <class Wide, class Narrow, int variant>
void DemosaicColour(ImagePipeline* p, uint32_t firstRow, uint32_t endRow) {
  if (ColourMatrix<Narrow, true>::NeedsWideProducts(p))
    RunImageKernel<ColourSinkWideProducts, variant, Wide, Narrow>(p, firstRow, endRow);
  else
    RunImageKernel<ColourSinkNarrowProducts, variant, Wide, Narrow>(p, firstRow, endRow);
}

template <class Wide, class Narrow, int variant>
void DemosaicGrey(ImagePipeline* p, uint32_t firstRow, uint32_t endRow) {
  RunImageKernel<GreySink, variant, Wide, Narrow>(p, firstRow, endRow);
}

template <class Wide, class Narrow, int variant>
void MeasureWhiteBalance(ImagePipeline* p, uint32_t firstRow, uint32_t endRow,
                         WhiteBalanceTotals* totals) {
  MeasureSink<Wide> wide(totals);
  MeasureSink<Narrow> narrow(totals);
  ProcessRows<variant, Wide, Narrow>(p, firstRow, endRow, wide, narrow);
}

template <class Wide, class Narrow>
constexpr DemosaicKernels MakeKernelTable() {
  return {
      {DemosaicColour<Wide, Narrow, 0>, DemosaicColour<Wide, Narrow, 1>,
       DemosaicColour<Wide, Narrow, 2>, DemosaicColour<Wide, Narrow, 3>},
      {DemosaicGrey<Wide, Narrow, 0>, DemosaicGrey<Wide, Narrow, 1>, DemosaicGrey<Wide, Narrow, 2>,
       DemosaicGrey<Wide, Narrow, 3>},
      {MeasureWhiteBalance<Wide, Narrow, 0>, MeasureWhiteBalance<Wide, Narrow, 1>,
       MeasureWhiteBalance<Wide, Narrow, 2>, MeasureWhiteBalance<Wide, Narrow, 3>},
  };
}

}  // namespace

// An independent scalar model of the frame conversion, written from the
// formulas one position at a time: margins by coordinate mapping, the five
// interpolation rules, exact gains, the separately shifted matrix sums with
// saturation at 65535, luminance and the white-balance measurement. It shares
// no code with the driver's kernels. Header-only so the benchmark can time it.
#pragma once

#include <stdint.h>

#include <algorithm>
#include <vector>

namespace reference {

struct Rgb {
  int r, g, b;
};

struct Frame {
  const uint8_t* data;
  int width, height;
  uint32_t lineOffset, rowPitch;

  // Two margin samples on every side repeat samples of the same colour
  // filter: rows -2, -1 are rows 2, 1; rows H, H+1 are rows H-4, H-3; columns
  // -2, -1 are 2, 1 and columns W, W+1 are W-2, W-3. Frames smaller than 8 in
  // either direction have zero margins.
  int At(int x, int y) const {
    bool inside = x >= 0 && x < width && y >= 0 && y < height;
    if (!inside && (width < 8 || height < 8)) return 0;
    if (y < 0) y = -y;
    if (y >= height) y -= 4;
    if (x < 0) x = -x;
    if (x >= width) x = 2 * (width - 1) - x;
    return data[lineOffset + size_t(y) * rowPitch + size_t(x)];
  }
};

struct Settings {
  int phase = 0;
  uint32_t gains[3] = {128, 128, 128};
  int32_t matrix[16] = {64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64};
  bool colour = true;
  bool autoWhiteBalance = false;
};

// Colour of the filter at (x, y): [layout][row parity][column parity].
inline char FilterColour(int phase, int x, int y) {
  static const char kLayouts[4][2][3] = {{"GR", "BG"}, {"BG", "GR"}, {"RG", "GB"}, {"GB", "RG"}};
  int layout = phase >= 0 && phase <= 2 ? phase : 3;
  return kLayouts[layout][y & 1][x & 1];
}

inline int Clip(int sum, int bias, int shift) {
  return std::min(255, (std::max(sum, 0) + bias) >> shift);
}

inline Rgb Interpolate(const Frame& f, int phase, int x, int y) {
  auto P = [&](int dx, int dy) { return f.At(x + dx, y + dy); };
  int c = P(0, 0);
  int u1 = P(0, -1), d1 = P(0, 1), l1 = P(-1, 0), r1 = P(1, 0);
  int u2 = P(0, -2), d2 = P(0, 2), l2 = P(-2, 0), r2 = P(2, 0);
  int dg = P(-1, -1) + P(1, -1) + P(-1, 1) + P(1, 1);
  int green = Clip(4 * c + 2 * (u1 + d1 + l1 + r1) - (u2 + d2 + l2 + r2), 4, 3);
  int alongRow = Clip(10 * c + 8 * (l1 + r1) - 2 * (l2 + r2) - 2 * dg + (u2 + d2), 8, 4);
  int alongColumn = Clip(10 * c + 8 * (u1 + d1) - 2 * (u2 + d2) - 2 * dg + (l2 + r2), 8, 4);
  int diagonal = Clip(12 * c + 4 * dg - 3 * (u2 + d2 + l2 + r2), 8, 4);
  switch (FilterColour(phase, x, y)) {
    case 'R':
      return {c, green, diagonal};
    case 'B':
      return {diagonal, green, c};
    default:
      if (FilterColour(phase, x + 1, y) == 'R') return {alongRow, c, alongColumn};
      return {alongColumn, c, alongRow};
  }
}

inline int Gain(int value, uint32_t gain) {
  return int(std::min<uint64_t>(255, (uint64_t(value) * gain) >> 7));
}

inline Rgb ApplyGains(Rgb c, const uint32_t gains[3]) {
  return {Gain(c.r, gains[0]), Gain(c.g, gains[1]), Gain(c.b, gains[2])};
}

inline int MatrixChannel(Rgb c, const int32_t m[16], int j) {
  const int64_t in[4] = {c.r, c.g, c.b, 1};
  int64_t pos = 0, neg = 0;
  for (int i = 0; i < 4; ++i) {
    int64_t entry = m[4 * i + j];
    if (entry > 0) pos += in[i] * entry;
    if (entry < 0) neg += in[i] * -entry;
  }
  pos = std::min<int64_t>(pos, 65535);
  neg = std::min<int64_t>(neg, 65535);
  return int(std::clamp<int64_t>((pos >> 6) - (neg >> 6), 0, 255));
}

inline int Luminance(Rgb c) { return ((c.r * 77) >> 8) + ((c.g * 150) >> 8) + ((c.b * 29) >> 8); }

// Returns false (gains unchanged) when a colour sum is zero; gains limited to
// 0..65535.
inline bool MeasureGains(const Frame& f, int phase, uint32_t gains[3]) {
  uint64_t sum[3] = {0, 0, 0};
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x) {
      Rgb c = Interpolate(f, phase, x, y);
      sum[0] += c.r;
      sum[1] += c.g;
      sum[2] += c.b;
    }
  if (sum[0] == 0 || sum[1] == 0 || sum[2] == 0) return false;
  double r = double(sum[0]), g = double(sum[1]), b = double(sum[2]);
  double t = (g + r) + b;
  double grey = (t / g) / 3.0;
  double red = ((t / r) / 3.0) * 128.0 / grey;
  double blue = ((t / b) / 3.0) * 128.0 / grey;
  gains[0] = uint32_t(std::min(red, 65535.0));
  gains[1] = 128;
  gains[2] = uint32_t(std::min(blue, 65535.0));
  return true;
}

// The whole conversion; settings.gains receive the measured gains when
// automatic white balance is on.
inline std::vector<uint8_t> Convert(const Frame& f, Settings& settings) {
  if (settings.autoWhiteBalance) MeasureGains(f, settings.phase, settings.gains);
  std::vector<uint8_t> image(size_t(f.width) * f.height * 4);
  uint8_t* out = image.data();
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x, out += 4) {
      Rgb c = ApplyGains(Interpolate(f, settings.phase, x, y), settings.gains);
      if (settings.colour) {
        out[0] = uint8_t(MatrixChannel(c, settings.matrix, 2));
        out[1] = uint8_t(MatrixChannel(c, settings.matrix, 1));
        out[2] = uint8_t(MatrixChannel(c, settings.matrix, 0));
      } else {
        out[0] = out[1] = out[2] = uint8_t(Luminance(c));
      }
      out[3] = 255;
    }
  return image;
}

}  // namespace reference

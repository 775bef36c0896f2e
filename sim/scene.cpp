#include "sim/scene.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>

#include "sim/sensor.h"

namespace sim {

namespace {

struct Rgb {
  double r = 0, g = 0, b = 0;
};

Rgb Mix(Rgb a, Rgb b, double t) { return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t}; }
Rgb Scale(Rgb a, double s) { return {a.r * s, a.g * s, a.b * s}; }
Rgb Grey(double v) { return {v, v, v}; }

uint8_t Channel(Rgb colour, FilterColour filter) {
  double v = filter == FilterColour::Red ? colour.r : filter == FilterColour::Green ? colour.g : colour.b;
  return uint8_t(std::clamp(std::lround(v), 0L, 255L));
}

// --- Bars -------------------------------------------------------------------

uint8_t BarsSample(uint32_t row, uint32_t column) {
  return BarValue(int(column / (kSensorWidth / 8)), FilterAt(row, column));
}

// --- Ramp -------------------------------------------------------------------

uint8_t RampSample(uint32_t row, uint32_t column) { return uint8_t((column + 7 * row) % 251); }

// --- Chart ------------------------------------------------------------------
// A test chart laid out on the whole array: colour patches, a hue and
// saturation field, colour ramps, a zone plate and line pairs for fine detail,
// and a shaded ball in a small landscape, on a grey surround.

struct Rect {
  double top, left, bottom, right;
  bool Contains(double y, double x) const { return y >= top && y < bottom && x >= left && x < right; }
  double U(double x) const { return (x - left) / (right - left); }
  double V(double y) const { return (y - top) / (bottom - top); }
};

constexpr Rect kPatchField{80, 80, 720, 1360};
constexpr Rect kHueField{80, 1440, 720, 2480};
constexpr Rect kRampField{800, 80, 1040, 2480};
constexpr Rect kZonePlate{1120, 80, 1840, 880};
constexpr Rect kLinePairs{1120, 960, 1840, 1600};
constexpr Rect kLandscape{1120, 1680, 1840, 2480};
// The moving element travels along the gap between the patches and the ramps.
constexpr double kElementTrackY = 760;
constexpr double kElementRadius = 30;
constexpr double kElementStep = 16;  // pixels per frame

// Six columns by four rows: skin and nature tones, saturated colours, greys.
const Rgb kPatchColours[4][6] = {
    {{112, 76, 62}, {198, 148, 128}, {96, 122, 158}, {86, 106, 62}, {134, 126, 178}, {102, 188, 168}},
    {{218, 122, 46}, {72, 86, 164}, {198, 86, 96}, {92, 62, 106}, {158, 188, 62}, {228, 160, 42}},
    {{52, 62, 148}, {72, 148, 72}, {178, 52, 56}, {232, 198, 42}, {188, 86, 150}, {42, 134, 168}},
    {Grey(240), Grey(200), Grey(160), Grey(122), Grey(86), Grey(50)},
};

Rgb Surround(double y, double x) { return Grey(92 + 28 * y / kSensorHeight); }

Rgb Hsv(double hue, double saturation, double value) {
  double h = std::fmod(hue, 1.0) * 6;
  double f = h - std::floor(h);
  double p = value * (1 - saturation), q = value * (1 - saturation * f), t = value * (1 - saturation * (1 - f));
  switch (int(h)) {
    case 0: return {value, t, p};
    case 1: return {q, value, p};
    case 2: return {p, value, t};
    case 3: return {p, q, value};
    case 4: return {t, p, value};
    default: return {value, p, q};
  }
}

Rgb PatchAt(double y, double x) {
  constexpr double kGap = 14;
  double cellW = (kPatchField.right - kPatchField.left) / 6, cellH = (kPatchField.bottom - kPatchField.top) / 4;
  int column = int((x - kPatchField.left) / cellW), row = int((y - kPatchField.top) / cellH);
  double inX = x - kPatchField.left - column * cellW, inY = y - kPatchField.top - row * cellH;
  if (inX < kGap || inY < kGap) return Grey(24);
  return kPatchColours[row][column];
}

Rgb HueAt(double y, double x) {
  return Scale(Hsv(kHueField.U(x), 1 - kHueField.V(y), 0.9), 255);
}

Rgb RampAt(double y, double x) {
  double t = kRampField.U(x) * 240;  // headroom: the chart never clips at unity
  switch (int(kRampField.V(y) * 4)) {
    case 0: return Grey(t);
    case 1: return {t, 0, 0};
    case 2: return {0, t, 0};
    default: return {0, 0, t};
  }
}

// Circular chirp whose spatial frequency rises from zero at the centre to the
// array's Nyquist limit at the rim: shows aliasing and demosaic artefacts.
Rgb ZonePlateAt(double y, double x) {
  double cy = (kZonePlate.top + kZonePlate.bottom) / 2, cx = (kZonePlate.left + kZonePlate.right) / 2;
  double radius = (kZonePlate.bottom - kZonePlate.top) / 2;
  double r2 = (y - cy) * (y - cy) + (x - cx) * (x - cx);
  if (r2 > radius * radius) return Grey(128);
  return Grey(128 + 100 * std::cos(M_PI * r2 / (2 * radius)));
}

// Four strips of stripes with periods of 8, 4, 3 and 2 samples: vertical
// stripes in the upper half, horizontal ones in the lower half.
Rgb LinePairsAt(double y, double x) {
  static const int kPeriods[4] = {8, 4, 3, 2};
  int strip = std::min(3, int(kLinePairs.U(x) * 4));
  int period = kPeriods[strip];
  bool upper = kLinePairs.V(y) < 0.5;
  long position = upper ? long(x - kLinePairs.left) : long(y - kLinePairs.top);
  bool light = (position % period) * 2 < period;
  return Grey(light ? 220 : 30);
}

// Sky over a green hill with a lit orange ball resting on it.
Rgb LandscapeAt(double y, double x) {
  double u = kLandscape.U(x), v = kLandscape.V(y);
  double horizon = 0.62 + 0.06 * std::sin(u * 5.0);
  Rgb colour = v < horizon ? Mix(Rgb{70, 110, 200}, Rgb{200, 215, 230}, v / horizon)
                           : Mix(Rgb{70, 140, 50}, Rgb{30, 70, 25}, (v - horizon) / (1 - horizon));
  double cx = 0.55, cy = 0.5, radius = 0.22;
  double dx = (u - cx) / radius, dy = (v - cy) * (kLandscape.bottom - kLandscape.top) /
                                      ((kLandscape.right - kLandscape.left) * radius);
  double d2 = dx * dx + dy * dy;
  if (d2 < 1) {
    double dz = std::sqrt(1 - d2);
    // Light from the upper left and in front.
    double lambert = std::max(0.0, (-0.5 * dx - 0.6 * dy + 0.62 * dz));
    double highlight = std::pow(std::max(0.0, -0.35 * dx - 0.45 * dy + 0.82 * dz), 40);
    colour = Mix(Scale(Rgb{225, 120, 40}, 0.15 + 0.85 * lambert), Grey(250), highlight);
  }
  return colour;
}

Rgb ChartAt(double y, double x) {
  if (kPatchField.Contains(y, x)) return PatchAt(y, x);
  if (kHueField.Contains(y, x)) return HueAt(y, x);
  if (kRampField.Contains(y, x)) return RampAt(y, x);
  if (kZonePlate.Contains(y, x)) return ZonePlateAt(y, x);
  if (kLinePairs.Contains(y, x)) return LinePairsAt(y, x);
  if (kLandscape.Contains(y, x)) return LandscapeAt(y, x);
  return Surround(y, x);
}

uint8_t ChartSample(uint32_t row, uint32_t column) {
  return Channel(ChartAt(row, column), FilterAt(row, column));
}

// A white disc with a dark rim, so its motion is easy to follow.
bool ElementSample(uint32_t row, uint32_t column, double cy, double cx, uint8_t* value) {
  double d = std::hypot(row - cy, column - cx);
  if (d > kElementRadius) return false;
  *value = Channel(d > kElementRadius - 6 ? Grey(20) : Rgb{235, 235, 225}, FilterAt(row, column));
  return true;
}

using SampleFunction = uint8_t (*)(uint32_t row, uint32_t column);

SampleFunction SamplerOf(const std::string& name) {
  if (name == "chart") return &ChartSample;
  if (name == "bars") return &BarsSample;
  if (name == "ramp") return &RampSample;
  return nullptr;
}

std::shared_ptr<std::vector<uint8_t>> Render(SampleFunction sample) {
  auto mosaic = std::make_shared<std::vector<uint8_t>>(size_t(kSensorWidth) * kSensorHeight);
  uint8_t* out = mosaic->data();
  for (uint32_t row = 0; row < kSensorHeight; ++row)
    for (uint32_t column = 0; column < kSensorWidth; ++column) *out++ = sample(row, column);
  return mosaic;
}

}  // namespace

bool IsKnownScene(const std::string& name) { return SamplerOf(name) != nullptr; }

std::vector<std::string> SceneNames() { return {"chart", "bars", "ramp"}; }

FilterColour FilterAt(uint32_t row, uint32_t column) {
  if ((row & 1) == (column & 1)) return FilterColour::Green;
  return (row & 1) ? FilterColour::Blue : FilterColour::Red;
}

uint8_t BarValue(int index, FilterColour colour) {
  // Bit 2 red, bit 1 green, bit 0 blue of each bar, left to right.
  static const uint8_t kBars[8] = {0b111, 0b110, 0b011, 0b010, 0b101, 0b100, 0b001, 0b000};
  if (index < 0 || index > 7) return 0;
  int bit = colour == FilterColour::Red ? 4 : colour == FilterColour::Green ? 2 : 1;
  return (kBars[index] & bit) ? kBarLevel : 0;
}

std::shared_ptr<const std::vector<uint8_t>> SceneMosaic(const std::string& name) {
  SampleFunction sample = SamplerOf(name);
  if (sample == nullptr) throw std::invalid_argument("unknown scene \"" + name + "\"");
  // Rendering a scene takes a good fraction of a second; every camera in the
  // process shares one copy of each. The lock guards the cache.
  static std::mutex lock;
  static std::map<std::string, std::shared_ptr<const std::vector<uint8_t>>> cache;
  std::lock_guard<std::mutex> guard(lock);
  auto& entry = cache[name];
  if (!entry) entry = Render(sample);
  return entry;
}

SceneView::SceneView(const std::string& name, bool movingElement) : name_(name), moving_(movingElement) {
  if (!IsKnownScene(name)) throw std::invalid_argument("unknown scene \"" + name + "\"");
  moving_ = movingElement && name == "chart";
}

const uint8_t* SceneView::Frame(uint64_t frameIndex) {
  if (!base_) base_ = SceneMosaic(name_);
  if (!moving_) return base_->data();
  if (working_.empty()) working_ = *base_;
  DrawElement(frameIndex);
  return working_.data();
}

void SceneView::DrawElement(uint64_t frameIndex) {
  // Put back what the element covered last frame, then draw it at its new place.
  for (uint32_t row = drawn_.top; row < drawn_.bottom; ++row) {
    size_t at = size_t(row) * kSensorWidth;
    std::copy(base_->begin() + at + drawn_.left, base_->begin() + at + drawn_.right, working_.begin() + at + drawn_.left);
  }
  double travel = kRampField.right - kRampField.left - 2 * kElementRadius;
  double cx = kRampField.left + kElementRadius + std::fmod(double(frameIndex) * kElementStep, travel);
  double cy = kElementTrackY;
  drawn_.top = uint32_t(cy - kElementRadius);
  drawn_.bottom = uint32_t(cy + kElementRadius + 1);
  drawn_.left = uint32_t(cx - kElementRadius);
  drawn_.right = uint32_t(cx + kElementRadius + 1);
  for (uint32_t row = drawn_.top; row < drawn_.bottom; ++row)
    for (uint32_t column = drawn_.left; column < drawn_.right; ++column) {
      uint8_t value;
      if (ElementSample(row, column, cy, cx, &value)) working_[size_t(row) * kSensorWidth + column] = value;
    }
}

}  // namespace sim

#include "sim/sensor.h"

#include <algorithm>

namespace sim {

namespace {

// Values the sensor holds after power-up. The window covers the whole array
// and exposure and gain sit at unity, so an unprogrammed camera still shows
// the scene as it is.
constexpr uint16_t kPowerOnReadMode = 0x0040;
constexpr uint16_t kPowerOnMirror = 0x0040;

// Chip identification and variant register of each revision. The 0x1800 part
// carries a variant value that would mean "long lead-in" on a 0x1801, so a
// reader that looks only at register 0xFD gets its geometry wrong.
struct ChipIdentity {
  uint16_t chipId;
  uint16_t variant;
};

ChipIdentity IdentityOf(SensorChip chip) {
  switch (chip) {
    case SensorChip::Rev1800: return {0x1800, 0x0104};
    case SensorChip::Rev1801Short: return {0x1801, 0x00E5};
    case SensorChip::Rev1801Long: return {0x1801, 0x0124};
  }
  return {0x1800, 0x0104};
}

// The bridge sends this much blanking before the first row; the later
// revision with the long variant has a longer line start.
constexpr uint32_t kShortLeadIn = 608;
constexpr uint32_t kLongLeadIn = 884;
// Horizontal blanking after the samples of a row, beyond the lead-in length.
constexpr uint32_t kRowTail = 16;
constexpr uint32_t kEighthSkipExtraTail = 46;

// Skipping reads pairs of rows (columns), so each output pair keeps the
// colour-filter order: output index i comes from pair i / 2 of every
// `factor` pairs, member i % 2.
uint32_t SkippedOffset(uint32_t index, uint32_t factor) { return (index / 2) * 2 * factor + (index & 1); }

// Sensor row of output row y and sensor column of output column x, mirrors
// applied to the output frame.
uint32_t RowOf(const Readout& r, uint32_t y) {
  if (r.mirrorV) y = r.outputHeight - 1 - y;
  return r.rowStart + SkippedOffset(y, r.rowSkip);
}

uint32_t ColumnOf(const Readout& r, uint32_t x) {
  if (r.mirrorH) x = r.outputWidth - 1 - x;
  return r.columnStart + SkippedOffset(x, r.columnSkip);
}

uint32_t Below(uint32_t value, uint32_t offset) { return value > offset ? value - offset : 0; }

}  // namespace

uint8_t Respond(uint8_t scene, uint32_t exposure, uint32_t gain) {
  constexpr uint64_t kUnity = uint64_t(kUnityExposure) * kUnityGain;
  uint64_t scaled = (uint64_t(scene) * exposure * gain + kUnity / 2) / kUnity;
  return uint8_t(std::min<uint64_t>(scaled, 255));
}

uint32_t SkipFactor(uint16_t skipRegister) {
  uint32_t code = skipRegister & 7;
  if (code >= 7) return 8;
  if (code >= 3) return 4;
  if (code >= 1) return 2;
  return 1;
}

Sensor::Sensor(SensorChip chip) {
  ChipIdentity identity = IdentityOf(chip);
  registers_[reg::kChipId] = identity.chipId;
  registers_[reg::kChipVariant] = identity.variant;
  registers_[reg::kRowStart] = kDarkRows;
  registers_[reg::kColumnStart] = kDarkColumns;
  registers_[reg::kWindowHeight] = kSensorHeight - 1;
  registers_[reg::kWindowWidth] = kSensorWidth - 1;
  registers_[reg::kExposureLow] = kUnityExposure;
  registers_[reg::kGlobalGain] = kUnityGain;
  registers_[reg::kReadMode] = kPowerOnReadMode;
  registers_[reg::kMirror] = kPowerOnMirror;
}

void Sensor::Write(uint8_t number, uint16_t value) {
  if (number == reg::kChipId || number == reg::kChipVariant) return;
  registers_[number] = value;
}

Readout Sensor::CurrentReadout() const {
  Readout r;
  // Windows that reach beyond the array are cut at its edge; a start beyond
  // it reads the last row (column pair).
  r.rowStart = std::min(Below(registers_[reg::kRowStart], kDarkRows), kSensorHeight - 1);
  r.columnStart = std::min(Below(registers_[reg::kColumnStart] & ~1u, kDarkColumns), kSensorWidth - 2);
  r.height = std::min<uint32_t>(registers_[reg::kWindowHeight] + 1u, kSensorHeight - r.rowStart);
  r.width = std::min<uint32_t>(registers_[reg::kWindowWidth] + 1u, kSensorWidth - r.columnStart);
  r.rowSkip = SkipFactor(registers_[reg::kRowSkip]);
  r.columnSkip = SkipFactor(registers_[reg::kColumnSkip]);
  r.mirrorH = (registers_[reg::kMirror] & 0x4000) != 0;
  r.mirrorV = (registers_[reg::kMirror] & 0x8000) != 0;
  r.outputWidth = r.width / r.columnSkip;
  r.outputHeight = r.height / r.rowSkip;

  uint16_t chipId = registers_[reg::kChipId];
  bool shortLeadIn = chipId == 0x1800 || (registers_[reg::kChipVariant] & 0x7E0) == 0xE0;
  r.leadInBytes = shortLeadIn ? kShortLeadIn : kLongLeadIn;
  r.rowBlankingBytes = r.leadInBytes + kRowTail + (r.columnSkip == 8 ? kEighthSkipExtraTail : 0);

  r.exposure = (uint32_t(registers_[reg::kExposureHigh] & 0xF) << 16) | registers_[reg::kExposureLow];
  r.gain = registers_[reg::kGlobalGain];
  if (r.outputWidth > 0 && r.outputHeight > 0)
    r.bayerPhase = int(RowOf(r, 0) & 1) | int((ColumnOf(r, 0) & 1) << 1);
  return r;
}

void Sensor::ReadRows(const uint8_t* mosaic, const Readout& r, uint8_t* out, uint64_t outBytes, uint64_t firstRow,
                      uint64_t rowPitch) {
  std::array<uint8_t, 256> response;
  for (uint32_t v = 0; v < 256; ++v) response[v] = Respond(uint8_t(v), r.exposure, r.gain);

  std::vector<uint32_t> columns(r.outputWidth);
  for (uint32_t x = 0; x < r.outputWidth; ++x) columns[x] = ColumnOf(r, x);

  for (uint32_t y = 0; y < r.outputHeight; ++y) {
    uint64_t start = firstRow + uint64_t(y) * rowPitch;
    if (start >= outBytes) return;
    uint32_t samples = uint32_t(std::min<uint64_t>(r.outputWidth, outBytes - start));
    const uint8_t* source = mosaic + uint64_t(RowOf(r, y)) * kSensorWidth;
    uint8_t* row = out + start;
    for (uint32_t x = 0; x < samples; ++x) row[x] = response[source[columns[x]]];
  }
}

}  // namespace sim

// The image sensor: its register file, and how the registers the driver
// programs (window, skipping, mirrors, exposure, gain) turn a scene into the
// rows of samples the sensor reads out.
#pragma once

#include <stdint.h>

#include <array>
#include <vector>

namespace sim {

constexpr uint32_t kSensorWidth = 2560;
constexpr uint32_t kSensorHeight = 1920;

// The sensor's chip identification variants the driver tells apart.
enum class SensorChip {
  Rev1800,          // register 0x00 reads 0x1800
  Rev1801Short,     // 0x1801, register 0xFD with (value & 0x7E0) == 0xE0: 608-byte lead-in
  Rev1801Long,      // 0x1801, register 0xFD otherwise: 884-byte lead-in
};

// Register numbers with a meaning in the model.
namespace reg {
constexpr uint8_t kChipId = 0x00;
constexpr uint8_t kRowStart = 0x01;     // first row read, plus 54 dark rows
constexpr uint8_t kColumnStart = 0x02;  // first column read, plus 16 dark columns; bit 0 ignored
constexpr uint8_t kWindowHeight = 0x03;  // rows read - 1
constexpr uint8_t kWindowWidth = 0x04;   // columns read - 1
constexpr uint8_t kExposureHigh = 0x08;  // exposure bits 16..19
constexpr uint8_t kExposureLow = 0x09;   // exposure bits 0..15
constexpr uint8_t kReadMode = 0x1E;      // bits 8 and 9: external trigger
constexpr uint8_t kMirror = 0x20;        // bit 14 horizontal, bit 15 vertical
constexpr uint8_t kRowSkip = 0x22;       // bits 0..2: skip code
constexpr uint8_t kColumnSkip = 0x23;    // bits 0..2: skip code
constexpr uint8_t kGlobalGain = 0x35;
constexpr uint8_t kChipVariant = 0xFD;
}  // namespace reg

// Dark rows and columns in front of the active array: the window registers
// count from the physical edge, the model's coordinates from the active area.
constexpr uint16_t kDarkRows = 54;
constexpr uint16_t kDarkColumns = 16;

// Exposure and gain at which a scene value comes out unchanged.
constexpr uint32_t kUnityExposure = 200;
constexpr uint32_t kUnityGain = 14;

// The sensor's response: the sample for a scene value (0..255, the value the
// sensor gives at unity) is proportional to exposure × gain, rounded to the
// nearest integer and clipped at 255:
//   sample = min(255, round(scene × exposure × gain / (200 × 14)))
uint8_t Respond(uint8_t scene, uint32_t exposure, uint32_t gain);

// What one frame's readout covers, decoded from the registers.
struct Readout {
  uint32_t rowStart = 0;       // first active row read
  uint32_t columnStart = 0;    // first active column read (always even)
  uint32_t height = kSensorHeight;  // rows in the window
  uint32_t width = kSensorWidth;    // columns in the window
  uint32_t rowSkip = 1;        // 1, 2, 4 or 8
  uint32_t columnSkip = 1;
  bool mirrorH = false;
  bool mirrorV = false;
  uint32_t outputWidth = kSensorWidth;   // samples per row read out
  uint32_t outputHeight = kSensorHeight; // rows read out
  uint32_t leadInBytes = 0;    // blanking the bridge sends before the first row
  uint32_t rowBlankingBytes = 0;  // blanking after each row's samples
  uint32_t exposure = kUnityExposure;
  uint32_t gain = kUnityGain;
  // Colour-filter position of the first sample: bit 0 row parity, bit 1
  // column parity (0 = green on a green/red row).
  int bayerPhase = 0;
};

class Sensor {
 public:
  explicit Sensor(SensorChip chip);

  uint16_t Read(uint8_t number) const { return registers_[number]; }
  // A write over the sensor's serial bus: identification registers are read-only.
  void Write(uint8_t number, uint16_t value);
  // Sets any register, read-only ones included (for tests and tools).
  void Force(uint8_t number, uint16_t value) { registers_[number] = value; }

  Readout CurrentReadout() const;

  // Reads the rows of one frame out of a full-sensor mosaic (kSensorWidth ×
  // kSensorHeight scene values, phase 0 at the origin) into `out`: row y
  // starts at firstRow + y × rowPitch; whatever does not fit in outBytes is
  // cut off. Bytes between rows are left alone.
  static void ReadRows(const uint8_t* mosaic, const Readout& readout, uint8_t* out, uint64_t outBytes,
                       uint64_t firstRow, uint64_t rowPitch);

 private:
  std::array<uint16_t, 256> registers_{};
};

// Skip factor (1, 2, 4, 8) of a skip register's low three bits. Only the codes
// 0, 1, 3 and 7 are defined; others read as the largest factor they cover.
uint32_t SkipFactor(uint16_t skipRegister);

}  // namespace sim

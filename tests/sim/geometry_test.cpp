// The frame the camera sends follows the window, skipping and mirrors the
// driver programs, in the layout the driver derives for it.
#include <gtest/gtest.h>

#include "sim_rig.h"

namespace {

struct GeometryCase {
  const char* name;
  uint32_t x, y, width, height;
  uint16_t skipCode;  // written to both skip registers
  bool flipH, flipV;
  sim::SensorChip chip = sim::SensorChip::Rev1800;
};

void PrintTo(const GeometryCase& c, std::ostream* out) { *out << c.name; }

// What the driver expects of this geometry, worked out independently of the model.
struct Expected {
  uint32_t factor, outWidth, outHeight, lineOffset, rowPitch, frameBytes;
  int phase;
};

Expected ExpectedOf(const GeometryCase& c) {
  Expected e;
  e.factor = c.skipCode == 0 ? 1 : c.skipCode == 1 ? 2 : c.skipCode == 3 ? 4 : 8;
  e.outWidth = c.width / e.factor;
  e.outHeight = c.height / e.factor;
  e.lineOffset = c.chip == sim::SensorChip::Rev1801Long ? 884 : 608;
  e.rowPitch = e.lineOffset + e.outWidth + 16 + (e.factor == 8 ? 46 : 0);
  e.frameBytes = (e.rowPitch * e.outHeight + e.lineOffset + 1023) / 1024 * 1024;
  e.phase = 0;
  if (c.y & 1) e.phase ^= 1;
  if (c.flipV && c.height % 2 == 0) e.phase ^= 1;
  if (c.flipH && c.width % 2 == 0) e.phase ^= 2;
  return e;
}

// The ramp scene's value at a sensor position.
uint8_t Ramp(uint32_t row, uint32_t column) { return uint8_t((column + 7 * row) % 251); }

// Output index to sensor offset: pairs of samples, `factor` pairs apart.
uint32_t Skipped(uint32_t i, uint32_t factor) { return 2 * factor * (i / 2) + i % 2; }

class SimGeometry : public testing::TestWithParam<GeometryCase> {};

TEST_P(SimGeometry, FrameHoldsTheProgrammedWindowInTheDriversLayout) {
  const GeometryCase& c = GetParam();
  const Expected e = ExpectedOf(c);
  SimRig rig(SceneOptions("ramp", c.chip));
  rig.probe.ProgramWindow(c.x, c.y, c.width, c.height, c.skipCode);
  rig.probe.WriteRegister(0x20, uint16_t(0x0040 | (c.flipH ? 0x4000 : 0) | (c.flipV ? 0x8000 : 0)));

  sim::FrameLayout layout = rig.camera.Layout();
  EXPECT_EQ(layout.lineOffset, e.lineOffset);
  EXPECT_EQ(layout.rowPitch, e.rowPitch);
  EXPECT_EQ(layout.outputWidth, e.outWidth);
  EXPECT_EQ(layout.outputHeight, e.outHeight);
  EXPECT_EQ(rig.camera.BayerPhase(), e.phase) << "the driver's phase for this geometry";
  ASSERT_EQ(rig.camera.FrameSize(), e.frameBytes) << "no size command: the layout rounded up to 1 KiB";

  std::vector<uint8_t> frame = rig.probe.Frame(e.frameBytes);
  ASSERT_EQ(frame.size(), e.frameBytes);
  std::vector<bool> isSample(frame.size());
  uint32_t column0 = c.x & ~1u;  // columns are read in pairs
  int mismatches = 0;
  for (uint32_t y = 0; y < e.outHeight; ++y) {
    uint32_t row = c.y + Skipped(c.flipV ? e.outHeight - 1 - y : y, e.factor);
    for (uint32_t x = 0; x < e.outWidth; ++x) {
      uint32_t column = column0 + Skipped(c.flipH ? e.outWidth - 1 - x : x, e.factor);
      size_t at = e.lineOffset + size_t(y) * e.rowPitch + x;
      isSample[at] = true;
      if (frame[at] != Ramp(row, column) && mismatches++ < 5)
        ADD_FAILURE() << "sample (" << x << ", " << y << ") should come from row " << row << " column " << column;
    }
  }
  EXPECT_EQ(mismatches, 0);
  size_t fillerMismatches = 0;
  for (size_t at = 0; at < frame.size(); ++at)
    if (!isSample[at] && frame[at] != sim::kFillerByte) ++fillerMismatches;
  EXPECT_EQ(fillerMismatches, 0u) << "lead-in, row blanking and padding carry the filler byte only";
}

INSTANTIATE_TEST_SUITE_P(
    SimWindows, SimGeometry,
    testing::Values(GeometryCase{"FullSensor", 0, 0, 2560, 1920, 0, false, false},
                    GeometryCase{"OddCorner", 101, 37, 640, 480, 0, false, false},
                    GeometryCase{"OddCornerLongLeadIn", 101, 37, 640, 480, 0, false, false, sim::SensorChip::Rev1801Long},
                    GeometryCase{"OddSizesBothMirrors", 33, 20, 333, 201, 0, true, true},
                    GeometryCase{"HorizontalMirror", 64, 64, 256, 128, 0, true, false},
                    GeometryCase{"VerticalMirrorOddRow", 0, 11, 320, 240, 0, false, true},
                    GeometryCase{"ClampedCorner", 2000, 1000, 560, 920, 0, false, false},
                    GeometryCase{"SkipBy2", 0, 0, 2560, 1920, 1, false, false},
                    GeometryCase{"SkipBy4Mirrored", 0, 0, 2560, 1920, 3, true, true},
                    GeometryCase{"SkipBy8", 0, 0, 2560, 1920, 7, false, false},
                    GeometryCase{"SkipBy8LongLeadIn", 0, 0, 2560, 1920, 7, true, false, sim::SensorChip::Rev1801Long}),
    [](const testing::TestParamInfo<GeometryCase>& info) { return std::string(info.param.name); });

// --- Frame size ---------------------------------------------------------------

TEST(SimFrameLayout, FrameSizeCommandCutsOrPadsTheFrame) {
  SimRig rig(SceneOptions("ramp"));
  rig.probe.ProgramWindow(0, 0, 64, 32);
  sim::FrameLayout layout = rig.camera.Layout();
  ASSERT_EQ(layout.rowPitch, 608u + 64 + 16);

  // Cut in the middle of row 3: rows 0..2 whole, row 3 up to the cut.
  uint32_t cut = layout.lineOffset + 3 * layout.rowPitch + 10;
  ASSERT_TRUE(rig.probe.SetFrameSize(cut));
  std::vector<uint8_t> frame = rig.probe.Frame(cut);
  ASSERT_EQ(frame.size(), cut);
  EXPECT_EQ(frame[cut - 1], Ramp(3, 9));
  EXPECT_EQ(rig.probe.Trailing(), 0u);

  // Longer than the rows: filler after the last row's blanking.
  uint32_t padded = 64 * 1024;
  ASSERT_TRUE(rig.probe.SetFrameSize(padded));
  frame = rig.probe.Frame(padded);
  ASSERT_EQ(frame.size(), padded);
  EXPECT_EQ(frame[layout.lineOffset + 31 * layout.rowPitch + 63], Ramp(31, 63));
  EXPECT_TRUE(std::all_of(frame.begin() + layout.NaturalBytes(), frame.end(),
                          [](uint8_t b) { return b == sim::kFillerByte; }));
}

TEST(SimFrameLayout, FrameSizeIsForgottenWhenTheFirmwareRestarts) {
  SimRig rig;
  ASSERT_TRUE(rig.probe.SetFrameSize(4096));
  EXPECT_EQ(rig.camera.FrameSize(), 4096u);
  rig.probe.Vendor(0xA0, 0xE600, {1});
  rig.probe.Vendor(0xA0, 0xE600, {0});
  EXPECT_EQ(rig.camera.FrameSize(), 6114304u) << "full sensor, short lead-in, rounded up";
}

}  // namespace

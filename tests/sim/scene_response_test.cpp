// Scenes as the sensor sees them, and its response to exposure and gain.
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "sim/scene.h"
#include "sim_rig.h"

namespace {

struct Colour {
  const char* name;
  uint8_t r, g, b;
};

// Left to right, each at 75% of full scale.
const Colour kBars[8] = {{"white", 191, 191, 191}, {"yellow", 191, 191, 0}, {"cyan", 0, 191, 191},
                         {"green", 0, 191, 0},     {"magenta", 191, 0, 191}, {"red", 191, 0, 0},
                         {"blue", 0, 0, 191},      {"black", 0, 0, 0}};

// The sample a bar gives at an output position of a phase-0 frame: green/red
// on even rows, blue/green on odd rows.
uint8_t BarSample(const Colour& bar, uint32_t row, uint32_t column) {
  if (row % 2 == 0) return column % 2 == 0 ? bar.g : bar.r;
  return column % 2 == 0 ? bar.b : bar.g;
}

uint8_t SampleAt(const std::vector<uint8_t>& frame, const sim::FrameLayout& layout, uint32_t x, uint32_t y) {
  return frame.at(layout.lineOffset + size_t(y) * layout.rowPitch + x);
}

TEST(SimBars, EightEqualBarsAtThreeQuartersOfFullScale) {
  SimRig rig(SceneOptions("bars"));
  sim::FrameLayout layout = rig.camera.Layout();
  std::vector<uint8_t> frame = rig.probe.Frame(rig.camera.FrameSize());
  ASSERT_EQ(frame.size(), rig.camera.FrameSize());
  for (uint32_t y : {0u, 1u, 958u, 1919u})
    for (uint32_t x = 0; x < 2560; ++x) {
      const Colour& bar = kBars[x / 320];
      ASSERT_EQ(SampleAt(frame, layout, x, y), BarSample(bar, y, x)) << bar.name << " bar at (" << x << ", " << y << ")";
    }
}

TEST(SimBars, SkippingKeepsTheBarsAndTheMosaic) {
  SimRig rig(SceneOptions("bars"));
  rig.probe.ProgramWindow(0, 0, 2560, 1920, 1);
  sim::FrameLayout layout = rig.camera.Layout();
  ASSERT_EQ(layout.outputWidth, 1280u);
  std::vector<uint8_t> frame = rig.probe.Frame(rig.camera.FrameSize());
  for (uint32_t y : {0u, 1u})
    for (uint32_t x = 0; x < 1280; ++x)
      ASSERT_EQ(SampleAt(frame, layout, x, y), BarSample(kBars[x / 160], y, x)) << "(" << x << ", " << y << ")";
}

TEST(SimBars, HorizontalMirrorReversesTheBars) {
  SimRig rig(SceneOptions("bars"));
  rig.probe.WriteRegister(0x20, 0x4040);
  sim::FrameLayout layout = rig.camera.Layout();
  std::vector<uint8_t> frame = rig.probe.Frame(rig.camera.FrameSize());
  // The mirrored frame starts on the last column, where row 0 has a red filter.
  EXPECT_EQ(rig.camera.BayerPhase(), 2);
  EXPECT_EQ(SampleAt(frame, layout, 0, 0), 0) << "black on the left";
  EXPECT_EQ(SampleAt(frame, layout, 320, 1), 0) << "blue's green sample";
  EXPECT_EQ(SampleAt(frame, layout, 321, 1), 191) << "blue's blue sample";
  EXPECT_EQ(SampleAt(frame, layout, 2559, 0), 191) << "white on the right";
}

// --- Response ---------------------------------------------------------------

TEST(SimResponse, LinearInExposureTimesGainWithUnityAt200And14) {
  struct Point {
    uint8_t scene;
    uint32_t exposure, gain;
    uint8_t sample;
  };
  const Point points[] = {
      {191, 200, 14, 191},    // unity
      {191, 100, 14, 96},     // half: 95.5 rounds up
      {100, 400, 14, 200},    // double
      {191, 400, 14, 255},    // clipped
      {191, 200, 7, 96},      // gain halves like exposure
      {60, 100, 28, 60},      // exposure and gain trade off
      {191, 0, 14, 0},        // no light
      {255, 0xFFFFF, 63, 255},  // largest exposure does not overflow
  };
  for (const Point& p : points)
    EXPECT_EQ(sim::Respond(p.scene, p.exposure, p.gain), p.sample)
        << int(p.scene) << " at exposure " << p.exposure << ", gain " << p.gain;
}

TEST(SimResponse, FramesFollowExposureAndGainRegisters) {
  SimRig rig(SceneOptions("bars"));
  auto whiteGreen = [&] {
    std::vector<uint8_t> frame = rig.probe.Frame(rig.camera.FrameSize());
    return SampleAt(frame, rig.camera.Layout(), 0, 0);
  };
  EXPECT_EQ(whiteGreen(), 191) << "power-on exposure and gain are unity";
  rig.probe.WriteRegister(0x09, 100);
  EXPECT_EQ(whiteGreen(), 96);
  rig.probe.WriteRegister(0x35, 28);
  EXPECT_EQ(whiteGreen(), 191);
  rig.probe.WriteRegister(0x09, 0);
  rig.probe.WriteRegister(0x08, 1);  // exposure 0x10000: bits 16..19 count
  EXPECT_EQ(whiteGreen(), 255);
  rig.probe.WriteRegister(0x35, 0);
  EXPECT_EQ(whiteGreen(), 0);
}

// --- Scenes -------------------------------------------------------------------

TEST(SimScene, UnknownScenesAreRefusedAndChangeNothing) {
  EXPECT_THROW(sim::SimulatedCamera(SceneOptions("moon")), std::invalid_argument);
  SimRig rig(SceneOptions("bars"));
  EXPECT_THROW(rig.camera.SetScene("moon"), std::invalid_argument);
  std::vector<uint8_t> frame = rig.camera.RenderFrame();
  EXPECT_EQ(SampleAt(frame, rig.camera.Layout(), 1701, 0), 191) << "still the bars: red";
}

TEST(SimScene, ChartHasDetailAcrossTheRange) {
  SimRig rig;
  std::vector<uint8_t> frame = rig.camera.RenderFrame();
  sim::FrameLayout layout = rig.camera.Layout();
  std::set<uint8_t> values;
  uint64_t differences = 0;
  for (uint32_t y = 0; y < 1920; y += 3)
    for (uint32_t x = 0; x + 2 < 2560; ++x) {
      uint8_t sample = SampleAt(frame, layout, x, y);
      values.insert(sample);
      differences += std::abs(int(sample) - int(SampleAt(frame, layout, x + 2, y)));
    }
  EXPECT_GT(values.size(), 200u) << "gradients cover most of the range";
  EXPECT_LT(*values.rbegin(), 255) << "the chart does not clip at unity";
  EXPECT_GT(differences, 1000000u) << "fine detail, not flat fields";
}

TEST(SimScene, MovingElementMovesOnlyWhenAsked) {
  for (bool moving : {false, true}) {
    sim::CameraOptions options;
    options.movingElement = moving;
    SimRig rig(options);
    uint32_t size = rig.camera.FrameSize();
    std::vector<uint8_t> first = rig.probe.Frame(size);
    std::vector<uint8_t> second = rig.probe.Frame(size);
    ASSERT_EQ(first.size(), size);
    ASSERT_EQ(second.size(), size);
    size_t changed = 0;
    for (size_t i = 0; i < size; ++i) changed += first[i] != second[i];
    if (moving) {
      EXPECT_GT(changed, 100u) << "the element moved";
      EXPECT_LT(changed, 20000u) << "and nothing else did";
    } else {
      EXPECT_EQ(changed, 0u);
    }
  }
}

}  // namespace

// The demosaic kernels against the scalar reference, and the cases whose
// answers are known in closed form.
#include <gtest/gtest.h>

#include "imaging_test_support.h"
#include "platform/host_pool.h"

namespace {

using namespace imaging_test;

constexpr int kPhases[] = {0, 1, 2, 3};

// Every pixel of the image equals (blue, green, red, 255).
::testing::AssertionResult AllPixelsAre(const std::vector<uint8_t>& image, int blue, int green,
                                        int red) {
  for (size_t i = 0; i < image.size(); i += 4) {
    if (image[i] != blue || image[i + 1] != green || image[i + 2] != red || image[i + 3] != 255)
      return ::testing::AssertionFailure()
             << "pixel " << i / 4 << " is " << int(image[i]) << "," << int(image[i + 1]) << ","
             << int(image[i + 2]) << "," << int(image[i + 3]) << ", want " << blue << "," << green
             << "," << red << ",255";
  }
  return ::testing::AssertionSuccess();
}

// Converts with every available kernel set and checks the image and the
// measured gains against the reference.
void ExpectMatchesReference(RawFrame& raw, reference::Settings settings, const std::string& what) {
  reference::Settings expectedSettings = settings;
  std::vector<uint8_t> expected = reference::Convert(raw.Reference(), expectedSettings);
  for (const KernelSet& set : AvailableKernelSets()) {
    TestPipeline pipeline(raw.width, raw.height);
    pipeline.SetMatrix(settings.matrix);
    pipeline.SetGains(settings.gains[0], settings.gains[1], settings.gains[2]);
    SetBayerPhase(pipeline.p, settings.phase);
    SetColourEnable(pipeline.p, settings.colour);
    SetAutoWhiteBalance(pipeline.p, settings.autoWhiteBalance);
    std::vector<uint8_t> image = pipeline.Convert(*set.kernels, raw);
    SCOPED_TRACE(set.name + " " + what);
    ASSERT_EQ(image, expected);
    ASSERT_TRUE(pipeline.GuardIntact());
    EXPECT_EQ(pipeline.p->redGainInUse, expectedSettings.gains[0]);
    EXPECT_EQ(pipeline.p->greenGainInUse, expectedSettings.gains[1]);
    EXPECT_EQ(pipeline.p->blueGainInUse, expectedSettings.gains[2]);
  }
}

std::string Describe(int w, int h, int phase) {
  return std::to_string(w) + "x" + std::to_string(h) + " phase " + std::to_string(phase);
}

TEST(DemosaicReference, RandomFramesAllLayoutsAndWidths) {
  std::mt19937 random(1234);
  const int widths[] = {8, 9, 15, 16, 17, 31, 32, 33, 47, 48, 63, 64, 65, 100};
  const int heights[] = {8, 9, 11};
  for (int phase : {0, 1, 2, 3, 7})
    for (int w : widths)
      for (int h : heights) {
        RawFrame raw(w, h);
        raw.FillRandom(random);
        reference::Settings colour;
        colour.phase = phase;
        ExpectMatchesReference(raw, colour, Describe(w, h, phase) + " colour");
        reference::Settings grey = colour;
        grey.colour = false;
        ExpectMatchesReference(raw, grey, Describe(w, h, phase) + " grey");
        reference::Settings measured = colour;
        measured.autoWhiteBalance = true;
        ExpectMatchesReference(raw, measured, Describe(w, h, phase) + " white balance");
      }
}

TEST(DemosaicReference, FramesSmallerThanTheMargins) {
  std::mt19937 random(99);
  for (auto [w, h] : {std::pair{1, 1}, {3, 5}, {7, 7}, {7, 20}, {20, 7}, {2, 9}})
    for (int phase : kPhases) {
      RawFrame raw(w, h);
      raw.FillRandom(random);
      reference::Settings settings;
      settings.phase = phase;
      settings.autoWhiteBalance = true;
      ExpectMatchesReference(raw, settings, Describe(w, h, phase));
    }
}

// Gains and matrices at and beyond the points where the 16-bit arithmetic
// must switch from exact products to detected overflow, and sums that
// saturate.
TEST(DemosaicReference, ExtremeGainsAndMatrices) {
  std::mt19937 random(77);
  const uint32_t gains[] = {0,   1,   127,  128,   129,   255,   256,
                            257, 512, 1000, 32766, 32767, 32768, 65535};
  auto pick = [&](const auto& values) { return values[random() % std::size(values)]; };
  const int32_t magnitudes[] = {0,   1,   63,   64,    65,    200,   257,
                                258, 300, 1000, 16320, 65535, 65536, 70000};
  for (int trial = 0; trial < 120; ++trial) {
    int w = 16 + int(random() % 40), h = 8 + int(random() % 5);
    RawFrame raw(w, h);
    raw.FillRandom(random);
    reference::Settings settings;
    settings.phase = int(random() % 4);
    for (uint32_t& gain : settings.gains) gain = pick(gains);
    bool wide = trial % 3 != 0;
    for (int k = 0; k < 16; ++k) {
      int32_t magnitude = wide ? pick(magnitudes) : int32_t(random() % 258);
      settings.matrix[k] = random() & 1 ? -magnitude : magnitude;
    }
    ExpectMatchesReference(raw, settings, "trial " + std::to_string(trial));
  }
}

TEST(DemosaicReference, BuiltMatricesAtTheirExtremes) {
  std::mt19937 random(5);
  RawFrame raw(40, 10);
  raw.FillRandom(random);
  TestPipeline built(1, 1);
  for (int contrast : {0, 20})
    for (int saturation : {0, 20})
      for (int brightness : {0, 255, 510}) {
        UpdateContrast(built.p, contrast);
        UpdateSaturation(built.p, saturation);
        UpdateBrightness(built.p, brightness);
        UpdateHue(built.p, 90);
        reference::Settings settings;
        memcpy(settings.matrix, built.p->fixedMatrix, sizeof(settings.matrix));
        ExpectMatchesReference(raw, settings, "contrast " + std::to_string(contrast));
      }
}

TEST(DemosaicKernelSets, Avx2IsBitIdenticalToSse2OnAFullFrame) {
  if (!CpuHasAvx2()) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 random(8);
  RawFrame raw(2560 - 8, 97);
  raw.FillRandom(random);
  for (int colour : {0, 1}) {
    TestPipeline sse2(raw.width, raw.height), avx2(raw.width, raw.height);
    for (TestPipeline* t : {&sse2, &avx2}) {
      SetAutoWhiteBalance(t->p, 1);
      SetColourEnable(t->p, colour);
      SetBayerPhase(t->p, 1);
    }
    EXPECT_EQ(sse2.Convert(kDemosaicSse2, raw), avx2.Convert(kDemosaicAvx2, raw));
    EXPECT_EQ(sse2.p->redGain, avx2.p->redGain);
    EXPECT_EQ(sse2.p->blueGain, avx2.p->blueGain);
  }
}

// When the platform cannot save the extended processor state, the guarded
// wide kernels fall back to the SSE2 ones and restore nothing (the host
// faults on a restore without a save), with the same bytes out.
TEST(DemosaicKernelSets, RefusedExtendedStateFallsBackToSse2BitIdentically) {
  std::mt19937 random(9);
  RawFrame raw(2560 - 8, 33);
  raw.FillRandom(random);
  for (int colour : {0, 1}) {
    TestPipeline sse2(raw.width, raw.height), fallback(raw.width, raw.height);
    for (TestPipeline* t : {&sse2, &fallback}) {
      SetAutoWhiteBalance(t->p, 1);
      SetColourEnable(t->p, colour);
      SetBayerPhase(t->p, 2);
    }
    std::vector<uint8_t> expected = sse2.Convert(kDemosaicSse2, raw);
    host::FailExtendedStateSaves(true);
    std::vector<uint8_t> actual = fallback.Convert(kDemosaicAvx2, raw);
    host::FailExtendedStateSaves(false);
    EXPECT_EQ(actual, expected);
    EXPECT_EQ(fallback.p->redGain, sse2.p->redGain);
    EXPECT_EQ(fallback.p->blueGain, sse2.p->blueGain);
  }
}

// ---------------------------------------------------------------------------
// Closed-form cases.
// ---------------------------------------------------------------------------

class DemosaicKnown : public ::testing::TestWithParam<KernelSet> {
 protected:
  // Converts a frame with the parameter's kernels; identity matrix unless set.
  std::vector<uint8_t> Convert(TestPipeline& t, const RawFrame& raw) {
    return t.Convert(*GetParam().kernels, raw);
  }
};

TEST_P(DemosaicKnown, UniformFramePassesThroughEverywhere) {
  for (int phase : kPhases)
    for (int value : {0, 1, 77, 128, 254, 255}) {
      RawFrame raw(21, 9);
      raw.Fill([&](int, int) { return value; });
      TestPipeline t(21, 9);
      t.SetMatrix(kIdentityMatrix);
      SetBayerPhase(t.p, phase);
      EXPECT_TRUE(AllPixelsAre(Convert(t, raw), value, value, value)) << phase << " " << value;
    }
}

TEST_P(DemosaicKnown, LinearRampReproducedAwayFromTheEdges) {
  const int w = 24, h = 12;
  RawFrame raw(w, h);
  raw.Fill([](int x, int y) { return 10 * y + x; });
  for (int phase : kPhases) {
    TestPipeline t(w, h);
    t.SetMatrix(kIdentityMatrix);
    SetBayerPhase(t.p, phase);
    Convert(t, raw);
    for (int y = 2; y < h - 2; ++y)
      for (int x = 2; x < w - 2; ++x) {
        const uint8_t* px = t.Pixel(x, y);
        int v = 10 * y + x;
        ASSERT_EQ(px[0], v) << phase << " " << x << "," << y;
        ASSERT_EQ(px[1], v);
        ASSERT_EQ(px[2], v);
      }
  }
}

TEST_P(DemosaicKnown, ConstantColoursInterpolateToThemselvesInEveryLayout) {
  for (int phase : kPhases) {
    RawFrame raw(37, 11);
    raw.FillPerColour(phase, 100, 200, 50);
    TestPipeline t(37, 11);
    t.SetMatrix(kIdentityMatrix);
    SetBayerPhase(t.p, phase);
    EXPECT_TRUE(AllPixelsAre(Convert(t, raw), 50, 200, 100)) << phase;

    SetColourEnable(t.p, 0);
    EXPECT_TRUE(AllPixelsAre(Convert(t, raw), 152, 152, 152)) << phase;

    SetColourEnable(t.p, 1);
    SetAutoWhiteBalance(t.p, 1);
    EXPECT_TRUE(AllPixelsAre(Convert(t, raw), 200, 200, 200)) << phase;
    EXPECT_EQ(t.p->redGain, 256);
    EXPECT_EQ(t.p->greenGain, 128);
    EXPECT_EQ(t.p->blueGain, 512);
  }
}

TEST_P(DemosaicKnown, MeasuredGainsAreTruncated) {
  RawFrame raw(32, 8);
  raw.FillPerColour(2, 90, 200, 70);
  TestPipeline t(32, 8);
  t.SetMatrix(kIdentityMatrix);
  SetBayerPhase(t.p, 2);
  SetAutoWhiteBalance(t.p, 1);
  EXPECT_TRUE(AllPixelsAre(Convert(t, raw), 199, 200, 199));
  EXPECT_EQ(t.p->redGain, 284);
  EXPECT_EQ(t.p->blueGain, 365);
}

TEST_P(DemosaicKnown, UniformFrameMeasuresNeutralGains) {
  for (int value : {1, 128, 255}) {
    RawFrame raw(19, 9);
    raw.Fill([&](int, int) { return value; });
    TestPipeline t(19, 9);
    SetAutoWhiteBalance(t.p, 1);
    Convert(t, raw);
    EXPECT_EQ(t.p->redGain, 128);
    EXPECT_EQ(t.p->greenGain, 128);
    EXPECT_EQ(t.p->blueGain, 128);
  }
}

TEST_P(DemosaicKnown, GreyOfWhiteIs253) {
  RawFrame raw(16, 8);
  raw.Fill([](int, int) { return 255; });
  TestPipeline t(16, 8);
  SetColourEnable(t.p, 0);
  EXPECT_TRUE(AllPixelsAre(Convert(t, raw), 253, 253, 253));
}

TEST_P(DemosaicKnown, GainsMultiplyExactlyAndClip) {
  RawFrame raw(16, 8);
  TestPipeline t(16, 8);
  t.SetMatrix(kIdentityMatrix);
  raw.Fill([](int, int) { return 200; });
  t.SetGains(0, 256, 128);  // blank red, double green (clipped), keep blue
  EXPECT_TRUE(AllPixelsAre(Convert(t, raw), 200, 255, 0));
  raw.Fill([](int, int) { return 255; });
  t.SetGains(129, 128, 127);
  EXPECT_TRUE(AllPixelsAre(Convert(t, raw), 253, 255, 255));
}

TEST_P(DemosaicKnown, MatrixSumsAreShiftedSeparately) {
  RawFrame raw(16, 8);
  raw.Fill([](int, int) { return 1; });
  TestPipeline t(16, 8);
  // Red output: pos = 1 * 64, neg = 1 * 63 -> 1 - 0 = 1 (a shifted
  // difference would give 0). Green output: pos = 63 -> 0.
  const int32_t m[16] = {64, 63, 0, 0, -63, 0, 0, 0, 0, 0, 64, 0, 0, 0, 0, 64};
  t.SetMatrix(m);
  EXPECT_TRUE(AllPixelsAre(Convert(t, raw), 1, 0, 1));
}

TEST_P(DemosaicKnown, DefaultMatrixLiftsBlueByOneSixtyFourth) {
  for (auto [value, blue] : {std::pair{128, 130}, {200, 203}}) {
    RawFrame raw(16, 8);
    raw.Fill([&](int, int) { return value; });
    TestPipeline t(16, 8);
    EXPECT_TRUE(AllPixelsAre(Convert(t, raw), blue, value, value)) << value;
  }
}

TEST_P(DemosaicKnown, FullBrightnessOffsetDrivesChannelsToWhite) {
  RawFrame raw(16, 8);
  raw.Fill([](int, int) { return 0; });
  TestPipeline t(16, 8);
  UpdateCorrection(t.p, 0);
  UpdateBrightness(t.p, 510);
  EXPECT_TRUE(AllPixelsAre(Convert(t, raw), 255, 255, 255));
}

TEST_P(DemosaicKnown, SaturatedSumsClipInsteadOfWrapping) {
  // 255 * 300 * 3 far exceeds 16 bits; a wrapped sum would come out dark.
  RawFrame raw(16, 8);
  raw.Fill([](int, int) { return 255; });
  TestPipeline t(16, 8);
  const int32_t m[16] = {300, 300, 300, 0, 300, 300, 300, 0, 300, 300, 300, 0, 0, 0, 0, 64};
  t.SetMatrix(m);
  EXPECT_TRUE(AllPixelsAre(Convert(t, raw), 255, 255, 255));
}

TEST_P(DemosaicKnown, PhaseSevenConvertsLikePhaseThree) {
  std::mt19937 random(3);
  RawFrame raw(30, 9);
  raw.FillRandom(random);
  TestPipeline three(30, 9), seven(30, 9);
  SetBayerPhase(three.p, 3);
  SetBayerPhase(seven.p, 7);
  EXPECT_EQ(Convert(three, raw), Convert(seven, raw));
}

// Frames a multiple of 16 wide in an aligned image take the streaming stores;
// the same frame in a misaligned image takes the ordinary ones.
TEST_P(DemosaicKnown, StreamedAndOrdinaryStoresWriteTheSameImage) {
  std::mt19937 random(6);
  RawFrame raw(96, 9);
  raw.FillRandom(random);
  TestPipeline aligned(96, 9), misaligned(96, 9, 4);
  EXPECT_EQ(Convert(aligned, raw), Convert(misaligned, raw));
  EXPECT_TRUE(aligned.GuardIntact());
  EXPECT_TRUE(misaligned.GuardIntact());
}

TEST_P(DemosaicKnown, OddWidthsWriteExactlyTheImage) {
  std::mt19937 random(4);
  for (int w : {9, 17, 33, 35, 47}) {
    RawFrame raw(w, 9);
    raw.FillRandom(random);
    TestPipeline t(w, 9);
    Convert(t, raw);
    EXPECT_TRUE(t.GuardIntact()) << w;
  }
}

std::string KernelSetName(const ::testing::TestParamInfo<KernelSet>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Demosaic, DemosaicKnown, ::testing::ValuesIn(AvailableKernelSets()),
                         KernelSetName);

}  // namespace

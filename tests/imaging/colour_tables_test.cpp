// The published fixed-point colour matrix for the settings whose matrices are
// known, rebuilds, the runtime maths, and the work-buffer geometry.
#include <gtest/gtest.h>

#include <array>

#include "imaging/runtime_math.h"
#include "imaging_test_support.h"
#include "platform/host_math.h"
#include "platform/host_pool.h"
#include "windows/runtime_math.h"

namespace {

using namespace imaging_test;
using Rows = std::array<std::array<int32_t, 4>, 4>;

Rows Fixed(const ImagePipeline* p) {
  Rows rows;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) rows[i][j] = p->fixedMatrix[4 * i + j];
  return rows;
}

// Rows 0..2 of the colour part with the given offsets in row 3.
Rows Matrix(std::array<int32_t, 3> r, std::array<int32_t, 3> g, std::array<int32_t, 3> b,
            int32_t offset = 0) {
  return {{{r[0], r[1], r[2], 0},
           {g[0], g[1], g[2], 0},
           {b[0], b[1], b[2], 0},
           {offset, offset, offset, 64}}};
}

class ColourTables : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(CreateImagePipeline(&p), STATUS_SUCCESS); }
  void TearDown() override { FreeImagePipeline(p); }
  ImagePipeline* p = nullptr;
};

TEST_F(ColourTables, DefaultsCarryTheColourCorrection) {
  EXPECT_EQ(Fixed(p), Matrix({87, -16, -6}, {-14, 90, -20}, {-9, -10, 91}));
  EXPECT_EQ(p->redGain, 128);
  EXPECT_EQ(p->colourEnable, 1);
  EXPECT_EQ(p->brightness, 255);
}

TEST_F(ColourTables, NeutralWithoutCorrectionIsIdentity) {
  UpdateCorrection(p, 0);
  EXPECT_EQ(Fixed(p), Matrix({64, 0, 0}, {0, 64, 0}, {0, 0, 64}));
  UpdateHue(p, 0);
  EXPECT_EQ(Fixed(p), Matrix({64, 0, 0}, {0, 64, 0}, {0, 0, 64}));
}

TEST_F(ColourTables, BrightnessExtremesAreFullScaleOffsets) {
  UpdateCorrection(p, 0);
  UpdateBrightness(p, 510);
  EXPECT_EQ(Fixed(p), Matrix({64, 0, 0}, {0, 64, 0}, {0, 0, 64}, 16320));
  UpdateBrightness(p, 0);
  EXPECT_EQ(Fixed(p), Matrix({64, 0, 0}, {0, 64, 0}, {0, 0, 64}, -16320));
  UpdateBrightness(p, 9999);  // the builder clamps from above
  EXPECT_EQ(Fixed(p), Matrix({64, 0, 0}, {0, 64, 0}, {0, 0, 64}, 16320));
}

TEST_F(ColourTables, ContrastScalesAboutMidGrey) {
  UpdateCorrection(p, 0);
  UpdateContrast(p, 20);
  EXPECT_EQ(Fixed(p), Matrix({128, 0, 0}, {0, 128, 0}, {0, 0, 128}, -8192));
  UpdateContrast(p, 0);
  EXPECT_EQ(Fixed(p), Matrix({0, 0, 0}, {0, 0, 0}, {0, 0, 0}, 8192));
}

TEST_F(ColourTables, SaturationMovesTowardsOrAwayFromLuminance) {
  UpdateCorrection(p, 0);
  UpdateSaturation(p, 0);
  EXPECT_EQ(Fixed(p), Matrix({20, 20, 20}, {39, 39, 39}, {5, 5, 5}));
  UpdateSaturation(p, 20);
  EXPECT_EQ(Fixed(p), Matrix({108, -20, -20}, {-39, 89, -39}, {-5, -5, 123}));
}

TEST_F(ColourTables, HueHalfTurnKeepsGreysGrey) {
  UpdateCorrection(p, 0);
  UpdateHue(p, 180);
  EXPECT_EQ(Fixed(p), Matrix({-24, 40, 40}, {78, 14, 78}, {10, 10, -54}));
}

TEST_F(ColourTables, BrightnessActsBeforeContrast) {
  UpdateCorrection(p, 0);
  UpdateBrightness(p, 300);
  UpdateContrast(p, 15);
  EXPECT_EQ(Fixed(p), Matrix({96, 0, 0}, {0, 96, 0}, {0, 0, 96}, 224));
}

TEST_F(ColourTables, UpdatesRebuildOnlyOnChange) {
  const int32_t marker = 12345;
  p->fixedMatrix[0] = marker;
  UpdateCorrection(p, 1);
  UpdateBrightness(p, 255);
  UpdateContrast(p, 10);
  UpdateSaturation(p, 10);
  UpdateHue(p, 0);
  EXPECT_EQ(p->fixedMatrix[0], marker);

  UpdateHue(p, 1);
  EXPECT_NE(p->fixedMatrix[0], marker);
  EXPECT_EQ(p->hue, 1);
}

// The kernel build computes the hue matrix with our own sine, cosine and
// square root; every published matrix must equal the C library's.
TEST(ColourRuntimeMath, KernelMathGivesTheSameMatrixForEveryHue) {
  TestPipeline libm(1, 1), kernel(1, 1);
  for (int correction : {0, 1})
    for (int hue = 0; hue < 360; ++hue) {
      host::UseKernelMath(false);
      UpdateCorrection(libm.p, correction);
      UpdateHue(libm.p, hue);
      host::UseKernelMath(true);
      UpdateCorrection(kernel.p, correction);
      UpdateHue(kernel.p, hue);
      host::UseKernelMath(false);
      ASSERT_EQ(Fixed(libm.p), Fixed(kernel.p)) << "hue " << hue << " correction " << correction;
    }
}

TEST(ColourRuntimeMath, KernelSineAndCosineAreWithinOneRounding) {
  for (int degrees = -720; degrees <= 720; ++degrees) {
    float angle = float(degrees) * 3.1415927f / 180.0f;
    host::UseKernelMath(true);
    float s = RuntimeSinf(angle), c = RuntimeCosf(angle), r = RuntimeSqrtf(float(degrees + 721));
    host::UseKernelMath(false);
    EXPECT_NEAR(s, RuntimeSinf(angle), 1.2e-7f) << degrees;
    EXPECT_NEAR(c, RuntimeCosf(angle), 1.2e-7f) << degrees;
    EXPECT_EQ(r, RuntimeSqrtf(float(degrees + 721)));
  }
  EXPECT_TRUE(__builtin_isnan(KernelSinf(1e30f)));
}

TEST(ImagingGeometry, WorkBufferLayoutFollowsTheFrame) {
  ImagePipeline* p = nullptr;
  ASSERT_EQ(CreateImagePipeline(&p), STATUS_SUCCESS);
  EXPECT_EQ(host::PoolLiveAllocations("IsyR"), 1u);
  SetPipelineGeometry(p, 2560, 1920);
  EXPECT_EQ(p->workPitch, 2587u);
  EXPECT_EQ(p->workBytes, 4977388u);
  SetPipelineGeometry(p, 33, 9);  // odd height: one extra row
  EXPECT_EQ(p->workPitch, 59u);
  EXPECT_EQ(p->workBytes, 14u * 59u);

  ASSERT_EQ(AllocateWorkBuffer(p), STATUS_SUCCESS);
  EXPECT_EQ(host::PoolLiveAllocations("Vwrk"), 1u);
  EXPECT_EQ(p->pixelOrigin, p->workBuffer + 2 * 59 + 5);
  EXPECT_EQ(p->pitch, 59);
  EXPECT_EQ(p->width, 33u);
  EXPECT_EQ(p->height, 9u);
  for (uint32_t i = 0; i < p->workBytes; ++i) ASSERT_EQ(p->workBuffer[i], 0) << i;

  ASSERT_EQ(AllocateWorkBuffer(p), STATUS_SUCCESS);  // replaces, never leaks
  EXPECT_EQ(host::PoolLiveAllocations("Vwrk"), 1u);
  FreeImagePipeline(p);
  EXPECT_EQ(host::PoolLiveAllocations("Vwrk"), 0u);
  EXPECT_EQ(host::PoolLiveAllocations("IsyR"), 0u);
}

TEST(ImagingGeometry, ImpossibleSizesGetNoWorkBuffer) {
  TestPipeline t(16, 8);
  for (auto [w, h] : {std::pair{-1, 8}, {16, -3}, {2000000000, 2000000000}}) {
    SetPipelineGeometry(t.p, w, h);
    EXPECT_EQ(t.p->workBytes, 0u);
    EXPECT_EQ(AllocateWorkBuffer(t.p), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(t.p->workBuffer, nullptr);
  }
}

TEST(ImagingGeometry, AllocationFailuresAreReported) {
  host::FailAllocationsWithTag("IsyR");
  ImagePipeline* p = reinterpret_cast<ImagePipeline*>(1);
  EXPECT_EQ(CreateImagePipeline(&p), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(p, nullptr);
  host::ClearPoolFaults();

  TestPipeline t(16, 8);
  host::FailAllocationsWithTag("Vwrk");
  EXPECT_EQ(AllocateWorkBuffer(t.p), STATUS_INSUFFICIENT_RESOURCES);
  host::ClearPoolFaults();
  EXPECT_EQ(t.p->workBuffer, nullptr);
  EXPECT_EQ(t.p->pixelOrigin, nullptr);
}

}  // namespace

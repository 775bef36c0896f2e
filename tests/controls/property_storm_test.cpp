// Property sets of every settable control from several threads while frames
// are read and converted: every frame converts with a whole colour matrix
// (one that some set of the settings produces), and frames keep coming.
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "camera/sensor.h"
#include "controls_rig.h"
#include "imaging/frame_conversion.h"
#include "support/pool_buffer.h"

namespace controls_test {
namespace {

using Matrix = std::vector<int32_t>;

// The two values each matrix setting takes in the storm.
const struct {
  ULONG id;
  LONG values[2];
} kMatrixSettings[] = {
    {kPropBrightness, {200, 300}}, {kPropContrast, {5, 15}},       {kPropSaturation, {5, 15}},
    {kPropHue, {0, 90}},           {kPropColourCorrection, {0, 1}},
};

// Every published matrix the 32 combinations of those values give.
std::set<Matrix> WholeMatrices() {
  std::set<Matrix> matrices;
  for (int combination = 0; combination < 32; ++combination) {
    ImagePipeline* p = nullptr;
    EXPECT_EQ(CreateImagePipeline(&p), STATUS_SUCCESS);
    auto pick = [&](int i) { return kMatrixSettings[i].values[(combination >> i) & 1]; };
    UpdateBrightness(p, pick(0));
    UpdateContrast(p, pick(1));
    UpdateSaturation(p, pick(2));
    UpdateHue(p, pick(3));
    UpdateCorrection(p, pick(4));
    matrices.insert(Matrix(p->fixedMatrix, p->fixedMatrix + 16));
    FreeImagePipeline(p);
  }
  return matrices;
}

class PropertyStorm : public ControlsRig {};

TEST_F(PropertyStorm, SetsFromManyThreadsWhileFramesConvert) {
  const std::set<Matrix> whole = WholeMatrices();
  SetGeometry(ctx_, 0, 0, 64, 48, 0);
  SetPinOpen(ctx_, 1);
  static_cast<CameraObject*>(ctx_)->ApplySettings();
  ImagePipeline* pipeline = InstallLivePipeline();
  SetPipelineGeometry(pipeline, ctx_->imageWidth, ctx_->imageHeight);
  ASSERT_EQ(AllocateWorkBuffer(pipeline), STATUS_SUCCESS);
  std::vector<uint8_t> output(size_t(ctx_->imageWidth) * ctx_->imageHeight * 4);
  pipeline->outputImage = output.data();
  for (const auto& setting : kMatrixSettings) Set(setting.id, setting.values[0]);

  std::atomic<bool> stop{false};
  std::atomic<int> frames{0}, torn{0};
  std::thread converter([&] {
    kscam_test::PoolBuffer raw(ctx_->frameBytes);
    while (!stop.load()) {
      BOOLEAN good = FALSE;
      static_cast<CameraObject*>(ctx_)->ReadFrame(raw.data(), ULONG(raw.size()), &good);
      if (!good) continue;
      if (!ConvertFrame(pipeline, raw.data(), ULONG(raw.size()), ctx_->lineOffset, ctx_->rowPitch)) continue;
      if (whole.count(Matrix(pipeline->matrixSnapshot, pipeline->matrixSnapshot + 16)) == 0) ++torn;
      ++frames;
    }
  });

  std::vector<std::thread> storm;
  for (int t = 0; t < 4; ++t) {
    storm.emplace_back([&, t] {
      uint32_t seed = 1234u + uint32_t(t);
      auto next = [&] { return seed = seed * 1103515245u + 12345u; };
      for (int round = 0; round < 30; ++round) {
        for (const auto& setting : kMatrixSettings) Set(setting.id, setting.values[next() >> 16 & 1]);
        Set(kPropRedGain, LONG(next() % 600));
        Set(kPropGreenGain, LONG(next() % 600));
        Set(kPropBlueGain, LONG(next() % 600));
        Set(kPropWhiteBalance, LONG(next() >> 16 & 1));
        Set(kPropColourEnable, LONG(next() >> 16 & 1));
        Set(kPropExposure, LONG(next() % 7000));
        Set(kPropGlobalGain, LONG(next() % 80));
        Set(kPropFlipHorizontal, LONG(next() >> 16 & 1));
        Set(kPropFlipVertical, LONG(next() >> 16 & 1));
        Set(kPropExternalTrigger, 0);
        Set(kPropFrameTimeout, LONG(3000 + next() % 2000));
        Set(kPropAutoGain, 1);
        Set(kPropAutoExposure, 1);
        Set(kPropExtendedCommand, 0);
        EXPECT_EQ(Controls().SetRegion(kscam::Region{1, 0, 0, 2560, 1920}), STATUS_SUCCESS);
        if (round % 10 == t) Set(kPropHalfClock, LONG(next() >> 16 & 1));
        for (ULONG id = 0; id < kCameraPropertyCount; ++id)
          if (HasGet(id)) Get(id);
      }
    });
  }
  for (auto& thread : storm) thread.join();
  int before = frames.load();
  for (int wait = 0; wait < 500 && frames.load() < before + 3; ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop = true;
  converter.join();
  EXPECT_GE(frames.load(), before + 3) << "frames stopped coming after the storm";
  EXPECT_GT(before, 0) << "no frame converted during the storm";
  EXPECT_EQ(torn.load(), 0) << "frames converted with a matrix no set of the settings gives";
  EXPECT_EQ(ctx_->roiWidth, 64) << "the region stays while the pin exists";
  pipeline->outputImage = nullptr;
  DropPipeline();
  SetPinOpen(ctx_, 0);
}

}  // namespace
}  // namespace controls_test

// Property paths that publish into the live image pipeline: what they
// publish, and that the pin can take the pipeline away and free it while
// they run.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "camera/sensor.h"
#include "imaging/image_pipeline.h"
#include "tools/client/camera_system.h"

namespace {

using kscam::CameraSystem;

class LivePipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(system_.BringUp(), STATUS_SUCCESS);
    ctx_ = system_.Context();
  }
  void TearDown() override {
    ImagePipeline* left = RemovePipeline(ctx_);
    if (left != nullptr) FreeImagePipeline(left);
  }
  ImagePipeline* Install() {
    ImagePipeline* pipeline = nullptr;
    EXPECT_EQ(CreateImagePipeline(&pipeline), STATUS_SUCCESS);
    InstallPipeline(ctx_, pipeline);
    return pipeline;
  }

  CameraSystem system_;
  DeviceContext* ctx_ = nullptr;
};

TEST_F(LivePipeline, MirrorsPublishTheBayerPhase) {
  ImagePipeline* pipeline = Install();
  SetGeometry(ctx_, 0, 0, 64, 64, 0);
  const struct {
    bool horizontal;
    LONG on, phase;
  } steps[] = {{true, 1, 2}, {false, 1, 3}, {true, 0, 1}, {false, 0, 0}};
  for (const auto& step : steps) {
    ASSERT_TRUE(step.horizontal ? SetFlipH(ctx_, step.on) : SetFlipV(ctx_, step.on));
    EXPECT_EQ(ReadParameter(&pipeline->bayerPhase), step.phase);
  }
}

// Switching automatic white balance off (and only that) makes the gains it
// found the manual gains.
TEST_F(LivePipeline, WhiteBalanceOffKeepsTheMeasuredGains) {
  const struct {
    bool pipeline;
    LONG on;
    ULONG red, green, blue;  // the manual gains afterwards
  } cases[] = {
      {true, 0, 300, 128, 90},
      {true, 1, 128, 128, 128},
      {false, 0, 128, 128, 128},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "pipeline " << c.pipeline << ", on " << c.on);
    ctx_->redGain = ctx_->greenGain = ctx_->blueGain = 128;
    ImagePipeline* pipeline = c.pipeline ? Install() : nullptr;
    if (pipeline != nullptr) {
      SetAutoWhiteBalance(pipeline, 1 - c.on);
      SetRedGain(pipeline, 300);  // as a conversion with automatic white balance leaves them
      SetGreenGain(pipeline, 128);
      SetBlueGain(pipeline, 90);
    }
    SetWhiteBalance(ctx_, c.on);
    EXPECT_EQ(ctx_->whiteBalance, c.on);
    EXPECT_EQ(ctx_->redGain, c.red);
    EXPECT_EQ(ctx_->greenGain, c.green);
    EXPECT_EQ(ctx_->blueGain, c.blue);
    if (pipeline != nullptr) {
      EXPECT_EQ(ReadParameter(&pipeline->autoWhiteBalance), c.on);
      EXPECT_EQ(RemovePipeline(ctx_), pipeline);
      FreeImagePipeline(pipeline);
    }
  }
}

// The pin installs and removes pipelines while property requests publish
// into whatever pipeline is live. A removed pipeline is marked and kept: a
// publication that reaches it after RemovePipeline returned would have
// written freed memory, and changes the mark.
TEST_F(LivePipeline, RemovalWaitsForPublicationsOnOtherThreads) {
  constexpr LONG kRemovedPhase = 99, kRemovedSwitch = 77;
  std::atomic<bool> done{false};
  std::atomic<int> publications{0};
  std::thread whiteBalance([&] {
    for (LONG on = 0; !done; on ^= 1, ++publications) SetWhiteBalance(ctx_, on);
  });
  std::thread mirrors([&] {
    for (LONG on = 0; !done; on ^= 1) SetFlipH(ctx_, on);
  });
  std::vector<ImagePipeline*> removed;
  for (int round = 0; round < 300; ++round) {
    Install();
    for (int spin = publications + 20; publications < spin && round % 2 == 0;) std::this_thread::yield();
    ImagePipeline* pipeline = RemovePipeline(ctx_);
    WriteParameter(&pipeline->bayerPhase, kRemovedPhase);
    WriteParameter(&pipeline->autoWhiteBalance, kRemovedSwitch);
    removed.push_back(pipeline);
  }
  done = true;
  whiteBalance.join();
  mirrors.join();
  int touched = 0;
  for (ImagePipeline* pipeline : removed) {
    touched += ReadParameter(&pipeline->bayerPhase) != kRemovedPhase ||
               ReadParameter(&pipeline->autoWhiteBalance) != kRemovedSwitch;
    FreeImagePipeline(pipeline);
  }
  EXPECT_EQ(touched, 0) << "publications reached a pipeline after its removal";
  EXPECT_EQ(ReferencePipeline(ctx_), nullptr);
}

}  // namespace

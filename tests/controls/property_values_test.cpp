// What each property does to the camera and the image settings: the clamps,
// the pipeline refreshes, white balance handing its gains over, the matrix
// rebuilt only on change, and sensor exchanges that fail.
#include "camera/sensor.h"
#include "controls_rig.h"
#include "tests/support/driver_under_test.h"
#include "usb/frame_transfer.h"

namespace controls_test {
namespace {

using PropertyValues = ControlsRig;

TEST_F(PropertyValues, ImageSettingsAreClampedToTheirRanges) {
  const struct {
    ULONG id;
    LONG set, stored;
  } cases[] = {
      {kPropBrightness, 600, 510}, {kPropBrightness, -5, 0},     {kPropBrightness, 510, 510},
      {kPropContrast, 21, 20},     {kPropContrast, -1, 0},       {kPropSaturation, 1000, 20},
      {kPropHue, 360, 359},        {kPropHue, -1, 0},            {kPropHue, 359, 359},
      {kPropRedGain, 1000, 512},   {kPropGreenGain, -1, 0},      {kPropBlueGain, 513, 512},
      {kPropBlueGain, 512, 512},   {kPropColourCorrection, 7, 7}, {kPropColourEnable, -3, -3},
  };
  for (bool live : {false, true}) {
    ImagePipeline* pipeline = live ? InstallLivePipeline() : nullptr;
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << "id " << c.id << " set " << c.set << " live " << live);
      Set(c.id, c.set);
      EXPECT_EQ(Get(c.id), c.stored);
    }
    if (pipeline != nullptr) {
      EXPECT_EQ(ReadParameter(&pipeline->blueGain), 512);
      EXPECT_EQ(ReadParameter(&pipeline->hue), 359);
      EXPECT_EQ(ReadParameter(&pipeline->colourEnable), -3);
    }
    DropPipeline();
  }
  EXPECT_EQ(Get(kPropColourGainMinimum), 1) << "the minimum it reports is not what it clamps to";
}

TEST_F(PropertyValues, SensorSettingsReachTheSensor) {
  Set(kPropGlobalGain, 100);
  EXPECT_EQ(system_.Camera()->Register(0x35), 63);
  EXPECT_EQ(Get(kPropGlobalGain), 63);
  Set(kPropGlobalGain, 20);
  EXPECT_EQ(system_.Camera()->Register(0x35), 20);
  system_.Camera()->SetRegister(0x35, 0x0FC5);  // the register's upper bits are not the gain
  EXPECT_EQ(Get(kPropGlobalGain), 0x45);

  Set(kPropExposure, 0);
  EXPECT_EQ(Get(kPropExposure), 1);
  Set(kPropExposure, 7000);
  EXPECT_EQ(Get(kPropExposure), 6400);

  Set(kPropFlipHorizontal, 5);
  EXPECT_EQ(system_.Camera()->Register(0x20) & 0xC000, 0x4000);
  EXPECT_EQ(Get(kPropFlipHorizontal), 1);
  system_.Camera()->SetRegister(0x20, 0x8000);  // someone else mirrored it vertically
  EXPECT_EQ(Get(kPropFlipHorizontal), 0);
  EXPECT_EQ(Get(kPropFlipVertical), 1);

  Set(kPropExternalTrigger, 9);
  EXPECT_EQ(system_.Camera()->Register(0x1E) & 0x0300, 0x0300);
  EXPECT_EQ(Get(kPropExternalTrigger), 1);
  Set(kPropExternalTrigger, 0);
  EXPECT_EQ(Get(kPropExternalTrigger), 0);

  Set(kPropHalfClock, 1);
  EXPECT_TRUE(system_.Camera()->HalfClock());
  EXPECT_EQ(Get(kPropHalfClock), 1);
  Set(kPropHalfClock, 0);
  EXPECT_EQ(Get(kPropHalfClock), 0);

  system_.Camera()->ClearCommands();
  Set(kPropExtendedCommand, 12345);
  std::vector<uint8_t> expected(64, 0);
  expected[0] = 0x20;
  expected[1] = 0x03;
  expected[2] = 0x50;
  ASSERT_EQ(system_.Camera()->Commands().size(), 1u);
  EXPECT_EQ(system_.Camera()->Commands()[0], expected);
}

TEST_F(PropertyValues, TimeoutTakesOnlyValuesAbove500ReadUnsigned) {
  const struct {
    LONG set, stored;
  } cases[] = {{500, 3000}, {501, 501}, {0, 501}, {9999, 9999}, {-1, -1}, {20000, 20000}};
  for (const auto& c : cases) {
    Set(kPropFrameTimeout, c.set);
    EXPECT_EQ(Get(kPropFrameTimeout), c.stored) << c.set;
    if (kscam_test::RunsHostBuild()) {
      EXPECT_EQ(transferTimeoutMs, c.stored) << "the frame transfer uses the same limit";
    }
  }
  Set(kPropFrameTimeout, 3000);
}

TEST_F(PropertyValues, AutomaticGainAndExposureAreAcceptedAndIgnored) {
  for (LONG value : {1, -1, 0x7FFFFFFF}) {
    Set(kPropAutoGain, value);
    Set(kPropAutoExposure, value);
    EXPECT_EQ(Get(kPropAutoGain), 0);
    EXPECT_EQ(Get(kPropAutoExposure), 0);
  }
}

TEST_F(PropertyValues, RegionChangesOnlyWhileNoPinExists) {
  kscam::CameraControls controls = Controls();
  kscam::Region region{0, 100, 200, 640, 480};
  ASSERT_EQ(controls.SetRegion(region), STATUS_SUCCESS);
  kscam::Region read;
  ASSERT_EQ(controls.GetRegion(&read), STATUS_SUCCESS);
  EXPECT_EQ(read.left, 100);
  EXPECT_EQ(read.top, 200);
  EXPECT_EQ(read.width, 640);
  EXPECT_EQ(read.height, 480);
  EXPECT_EQ(ctx_->imageWidth, 640);

  SetPinOpen(ctx_, 1);
  EXPECT_EQ(Get(kPropPinOpen), 1);
  ASSERT_EQ(controls.SetRegion(kscam::Region{2, 0, 0, 2560, 1920}), STATUS_SUCCESS);
  ASSERT_EQ(controls.GetRegion(&read), STATUS_SUCCESS);
  EXPECT_EQ(read.mode, 0) << "the region is frozen while a pin exists";
  EXPECT_EQ(read.width, 640);
  SetPinOpen(ctx_, 0);
  ASSERT_EQ(controls.SetRegion(kscam::Region{2, 0, 0, 2560, 1920}), STATUS_SUCCESS);
  ASSERT_EQ(controls.GetRegion(&read), STATUS_SUCCESS);
  EXPECT_EQ(read.mode, 2);
  EXPECT_EQ(ctx_->imageWidth, 640);
  EXPECT_EQ(ctx_->imageHeight, 480);
}

// Without a pipeline the record's copy answers; with one, the pipeline's
// value (which the conversion may have moved) is copied back first.
TEST_F(PropertyValues, GetsAreRefreshedFromTheLivePipeline) {
  Set(kPropBrightness, 300);
  EXPECT_EQ(Get(kPropBrightness), 300);
  ImagePipeline* pipeline = InstallLivePipeline();
  EXPECT_EQ(Get(kPropBrightness), 255) << "a new pipeline starts neutral until the pin gives it the settings";
  EXPECT_EQ(ctx_->brightness, 255u);
  WriteParameter(&pipeline->redGain, 333);  // as automatic white balance leaves it
  EXPECT_EQ(Get(kPropRedGain), 333);
  EXPECT_EQ(ctx_->redGain, 333u);
}

TEST_F(PropertyValues, SwitchingWhiteBalanceOffKeepsTheGainsItFound) {
  ImagePipeline* pipeline = InstallLivePipeline();
  Set(kPropWhiteBalance, 1);
  EXPECT_EQ(ReadParameter(&pipeline->autoWhiteBalance), 1);
  WriteParameter(&pipeline->redGain, 301);
  WriteParameter(&pipeline->greenGain, 128);
  WriteParameter(&pipeline->blueGain, 77);
  EXPECT_EQ(ctx_->redGain, 128u) << "measured gains reach the record only when read or when switched off";
  Set(kPropWhiteBalance, 0);
  EXPECT_EQ(ctx_->redGain, 301u);
  EXPECT_EQ(ctx_->blueGain, 77u);
  EXPECT_EQ(Get(kPropWhiteBalance), 0);
  DropPipeline();
  EXPECT_EQ(Get(kPropRedGain), 301) << "they stay as the manual gains";
}

// A rebuild republishes the whole matrix; a planted mark in the published
// matrix survives a set of the same value and is gone after a change.
TEST_F(PropertyValues, TheMatrixIsRebuiltOnlyWhenAValueChanges) {
  ImagePipeline* pipeline = InstallLivePipeline();
  const struct {
    ULONG id;
    LONG first, second;
  } cases[] = {{kPropBrightness, 300, 301}, {kPropContrast, 12, 13}, {kPropSaturation, 3, 4},
               {kPropHue, 90, 91},          {kPropColourCorrection, 0, 1}};
  constexpr int32_t kMark = 0x7EADBEEF;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "id " << c.id);
    Set(c.id, c.first);
    pipeline->fixedMatrix[5] = kMark;
    Set(c.id, c.first);
    EXPECT_EQ(pipeline->fixedMatrix[5], kMark) << "rebuilt for an unchanged value";
    Set(c.id, c.second);
    EXPECT_NE(pipeline->fixedMatrix[5], kMark) << "not rebuilt for a new value";
  }
}

// A sensor that does not answer: reads keep the last values, writes change
// nothing, and every request still succeeds.
TEST_F(PropertyValues, FailingSensorExchangesKeepThePreviousValues) {
  Set(kPropGlobalGain, 30);
  Set(kPropFlipVertical, 1);
  Set(kPropHalfClock, 0);
  sim::CameraFaults faults;
  faults.stallReplyPipe = true;
  system_.Camera()->SetFaults(faults);
  EXPECT_EQ(Get(kPropExternalTrigger), 0);
  EXPECT_EQ(Get(kPropGlobalGain), 30);
  EXPECT_EQ(Get(kPropFlipVertical), 1);
  EXPECT_EQ(Get(kPropFlipHorizontal), 0);
  EXPECT_EQ(Get(kPropHalfClock), 0);
  faults.stallReplyPipe = false;
  faults.stallCommandPipe = true;
  system_.Camera()->SetFaults(faults);
  Set(kPropGlobalGain, 50);
  EXPECT_EQ(ctx_->globalGain, 30u) << "a refused write does not change the setting";
}

}  // namespace
}  // namespace controls_test

// Controls set through the client library, seen in converted frames of the
// colour-bar scene: each control moves the image the way its name says.
#include <math.h>

#include "camera/sensor.h"
#include "controls_rig.h"
#include "imaging/frame_conversion.h"
#include "support/pool_buffer.h"

namespace controls_test {
namespace {

struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> bgra;
  const uint8_t* At(int x, int y) const { return &bgra[(size_t(y) * width + x) * 4]; }
  double Mean(int channel) const {  // 0 blue, 1 green, 2 red
    double sum = 0;
    for (size_t i = channel; i < bgra.size(); i += 4) sum += bgra[i];
    return sum / (bgra.size() / 4);
  }
  double LumaDeviation() const {
    double sum = 0, squares = 0;
    size_t n = bgra.size() / 4;
    for (size_t i = 0; i < bgra.size(); i += 4) {
      double luma = (bgra[i] + bgra[i + 1] + bgra[i + 2]) / 3.0;
      sum += luma;
      squares += luma * luma;
    }
    return sqrt(squares / n - (sum / n) * (sum / n));
  }
  // The colour of bar i of the eight, as red, green and blue bits.
  int Bar(int i) const {
    const uint8_t* pixel = At(width * (2 * i + 1) / 16, height / 2);
    return (pixel[2] > 128 ? 4 : 0) | (pixel[1] > 128 ? 2 : 0) | (pixel[0] > 128 ? 1 : 0);
  }
};

const int kBars[8] = {0b111, 0b110, 0b011, 0b010, 0b101, 0b100, 0b001, 0b000};

class ControlsOnImages : public ControlsRig {
 protected:
  void SetUp() override {
    ControlsRig::SetUp();
    system_.Camera()->SetScene("bars");
    // A camera that never stored settings starts at the shortest exposure;
    // these are the sensor's unity exposure and gain.
    Change("exposure", 200);
    Change("gain", 14);
  }
  void TearDown() override {
    StopStreaming();
    ControlsRig::TearDown();
  }
  // What the capture pin does when it starts: freeze the geometry, program
  // the camera, and give a new pipeline the record's settings.
  void StartStreaming() {
    SetPinOpen(ctx_, 1);
    static_cast<CameraObject*>(ctx_)->ApplySettings();
    ImagePipeline* p = nullptr;
    ASSERT_EQ(CreateImagePipeline(&p), STATUS_SUCCESS);
    SetColourEnable(p, LONG(ctx_->colourEnable));
    SetAutoWhiteBalance(p, ctx_->whiteBalance);
    SetRedGain(p, LONG(ctx_->redGain));
    SetGreenGain(p, LONG(ctx_->greenGain));
    SetBlueGain(p, LONG(ctx_->blueGain));
    UpdateCorrection(p, LONG(ctx_->colourCorrection));
    UpdateBrightness(p, LONG(ctx_->brightness));
    UpdateContrast(p, LONG(ctx_->contrast));
    UpdateSaturation(p, LONG(ctx_->saturation));
    UpdateHue(p, LONG(ctx_->hue));
    SetBayerPhase(p, ComputeBayerPhase(ctx_));
    SetPipelineGeometry(p, ctx_->imageWidth, ctx_->imageHeight);
    ASSERT_EQ(AllocateWorkBuffer(p), STATUS_SUCCESS);
    output_.assign(size_t(ctx_->imageWidth) * ctx_->imageHeight * 4, 0);
    p->outputImage = output_.data();
    InstallPipeline(ctx_, p);
    pipeline_ = p;
  }
  void StopStreaming() {
    if (pipeline_ == nullptr) return;
    pipeline_->outputImage = nullptr;
    DropPipeline();
    pipeline_ = nullptr;
    SetPinOpen(ctx_, 0);
  }
  Image Capture() {
    kscam_test::PoolBuffer raw(ctx_->frameBytes);
    BOOLEAN good = FALSE;
    for (int attempt = 0; attempt < 3 && !good; ++attempt)
      static_cast<CameraObject*>(ctx_)->ReadFrame(raw.data(), ULONG(raw.size()), &good);
    EXPECT_TRUE(good);
    EXPECT_TRUE(ConvertFrame(pipeline_, raw.data(), ULONG(raw.size()), ctx_->lineOffset, ctx_->rowPitch));
    return Image{ctx_->imageWidth, ctx_->imageHeight, output_};
  }
  void Change(const char* name, int32_t value) { ASSERT_EQ(Controls().Set(name, value), STATUS_SUCCESS) << name; }

  ImagePipeline* pipeline_ = nullptr;
  std::vector<uint8_t> output_;
};

// The whole sensor subsampled to 320 x 240, so all eight bars show.
TEST_F(ControlsOnImages, ImageControlsMoveTheImage) {
  ASSERT_EQ(Controls().SetRegion(kscam::Region{3, 0, 0, 0, 0}), STATUS_SUCCESS);
  StartStreaming();
  Image base = Capture();
  ASSERT_EQ(base.width, 320);
  ASSERT_EQ(base.height, 240);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(base.Bar(i), kBars[i]) << "bar " << i;

  Change("brightness", 400);
  EXPECT_GT(Capture().Mean(1), base.Mean(1) + 20);
  Change("brightness", 100);
  EXPECT_LT(Capture().Mean(1), base.Mean(1) - 20);
  Change("brightness", 255);

  Change("contrast", 20);
  EXPECT_GT(Capture().LumaDeviation(), base.LumaDeviation() * 1.2);
  Change("contrast", 0);
  EXPECT_LT(Capture().LumaDeviation(), base.LumaDeviation() * 0.5);
  Change("contrast", 10);

  Change("saturation", 0);
  Image grey = Capture();
  for (int i = 0; i < 8; ++i) {
    const uint8_t* pixel = grey.At(grey.width * (2 * i + 1) / 16, grey.height / 2);
    EXPECT_LE(abs(pixel[2] - pixel[0]) + abs(pixel[1] - pixel[0]), 12) << "bar " << i << " still coloured";
  }
  Change("saturation", 10);

  Change("hue", 180);
  Image turned = Capture();
  EXPECT_NE(turned.Bar(1), kBars[1]) << "yellow stays yellow after half a turn";
  EXPECT_EQ(turned.Bar(0), kBars[0]) << "white has no hue";
  Change("hue", 0);

  Change("red_gain", 64);
  Image lessRed = Capture();
  EXPECT_LT(lessRed.Mean(2), base.Mean(2) * 0.75);
  EXPECT_NEAR(lessRed.Mean(0), base.Mean(0), 8);
  Change("red_gain", 128);

  Change("colour_enable", 0);
  Image mono = Capture();
  for (size_t i = 0; i < mono.bgra.size(); i += 4) {
    ASSERT_EQ(mono.bgra[i], mono.bgra[i + 1]) << "pixel " << i / 4;
    ASSERT_EQ(mono.bgra[i], mono.bgra[i + 2]) << "pixel " << i / 4;
  }
  Change("colour_enable", 1);
  Image again = Capture();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(again.Bar(i), kBars[i]) << "bar " << i << " after every control went back";
}

// Mirroring reverses the bars and keeps their colours: the Bayer phase the
// mirror publishes matches what the sensor now sends.
TEST_F(ControlsOnImages, MirrorsReverseTheBarsAndKeepTheirColours) {
  ASSERT_EQ(Controls().SetRegion(kscam::Region{3, 0, 0, 0, 0}), STATUS_SUCCESS);
  StartStreaming();
  Change("horizontal_flip", 1);
  Image mirrored = Capture();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(mirrored.Bar(i), kBars[7 - i]) << "bar " << i;
  Change("vertical_flip", 1);
  Image both = Capture();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(both.Bar(i), kBars[7 - i]) << "bar " << i;
  Change("horizontal_flip", 0);
  Image upsideDown = Capture();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(upsideDown.Bar(i), kBars[i]) << "bar " << i;
}

// A window over the third and fourth bars at full resolution, and the
// subsampling modes' sizes.
TEST_F(ControlsOnImages, RegionAndSubsamplingChooseWhatIsDelivered) {
  ASSERT_EQ(Controls().SetRegion(kscam::Region{0, 640, 800, 640, 240}), STATUS_SUCCESS);
  StartStreaming();
  Image window = Capture();
  EXPECT_EQ(window.width, 640);
  EXPECT_EQ(window.height, 240);
  const uint8_t* left = window.At(160, 120);
  const uint8_t* right = window.At(480, 120);
  EXPECT_EQ((left[2] > 128 ? 4 : 0) | (left[1] > 128 ? 2 : 0) | (left[0] > 128 ? 1 : 0), kBars[2]);
  EXPECT_EQ((right[2] > 128 ? 4 : 0) | (right[1] > 128 ? 2 : 0) | (right[0] > 128 ? 1 : 0), kBars[3]);
  StopStreaming();
  const struct {
    int mode, width, height;
  } modes[] = {{1, 1280, 960}, {2, 640, 480}};
  for (const auto& m : modes) {
    ASSERT_EQ(Controls().SetRegion(kscam::Region{m.mode, 0, 0, 0, 0}), STATUS_SUCCESS);
    StartStreaming();
    Image image = Capture();
    EXPECT_EQ(image.width, m.width);
    EXPECT_EQ(image.height, m.height);
    EXPECT_EQ(image.Bar(7), kBars[7]);
    StopStreaming();
  }
}

TEST_F(ControlsOnImages, TheControlListDescribesEveryControl) {
  std::vector<kscam::ControlInfo> controls;
  ASSERT_EQ(Controls().List(&controls), STATUS_SUCCESS);
  ASSERT_EQ(controls.size(), kscam::ControlNames().size());
  for (const auto& control : controls) {
    SCOPED_TRACE(control.name);
    EXPECT_LE(control.minimum, control.defaultValue);
    EXPECT_LE(control.defaultValue, control.maximum);
    if (control.name == "brightness") {
      EXPECT_EQ(control.maximum, 510);
      EXPECT_EQ(control.current, 255);
    }
    if (control.name == "exposure") EXPECT_EQ(control.maximum, 6400);
    if (control.readOnly) EXPECT_EQ(Controls().Set(control.name, 1), STATUS_INVALID_DEVICE_REQUEST);
  }
  int32_t value = 0;
  EXPECT_EQ(Controls().Get("no_such_control", &value), STATUS_NOT_FOUND);
  EXPECT_EQ(Controls().Set("no_such_control", 1), STATUS_NOT_FOUND);
}

}  // namespace
}  // namespace controls_test

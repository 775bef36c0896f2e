// The capture pin through the class driver, against the simulated camera:
// format checks, the state table, frames into client buffers, and stopping
// promptly whatever the camera does.
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "camera/sensor.h"
#include "driver/device_context.h"
#include "platform/host_pool.h"
#include "platform/host_threads.h"
#include "sim/scene.h"
#include "stream/capture_context.h"
#include "support/capture_session.h"

namespace {

using kscam::CameraSystem;
using std::chrono::milliseconds;
using std::chrono::steady_clock;
using test::Bytes;
using test::CaptureSession;
using test::DeliveredFrame;

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr bool kInstrumented = true;
#else
constexpr bool kInstrumented = false;
#endif

// The platform's bound for a state-change callback. The sanitizer builds run
// every instruction several times slower, so there the bound is looser: what
// they check is that nothing waits for a frame or a time-out, which would
// take seconds.
constexpr auto kStateChangeBound = milliseconds(kInstrumented ? 2000 : 500);

sim::CameraOptions Scene(const char* name) {
  sim::CameraOptions options;
  options.scene = name;
  return options;
}

class CapturePin : public ::testing::Test {
 protected:
  explicit CapturePin(const sim::CameraOptions& options = Scene("bars")) : system_(options) {}

  void SetUp() override {
    host::ClearPoolFaults();
    baseline_ = host::PoolLiveAllocations();
    ASSERT_EQ(system_.BringUp(), STATUS_SUCCESS);
    ctx_ = system_.Context();
    session_ = std::make_unique<CaptureSession>(system_);
    ASSERT_EQ(session_->OpenFilter(), STATUS_SUCCESS);
  }
  void TearDown() override {
    session_.reset();
    system_.StopDevice();
    system_.RemoveDevice();
    host::ClearPoolFaults();
    EXPECT_EQ(host::PoolLiveAllocations(), baseline_) << "pool allocations leaked";
    EXPECT_EQ(host::LiveThreadObjects(), 0u);
  }

  // Creates the pin with the offered format and walks it to RUN with
  // frames queued.
  void Run(int frames = 2) {
    ASSERT_EQ(session_->CreatePin(), STATUS_SUCCESS);
    ASSERT_EQ(system_.KsDevice().SetPinClock(session_->Pin(), true), STATUS_SUCCESS);
    ASSERT_EQ(session_->RunWithFrames(frames), STATUS_SUCCESS);
  }

  DeliveredFrame NextGoodFrame() {
    DeliveredFrame frame;
    EXPECT_TRUE(session_->NextFrame(&frame)) << "no frame delivered";
    EXPECT_EQ(frame.status, STATUS_SUCCESS);
    return frame;
  }

  CameraSystem system_;
  DeviceContext* ctx_ = nullptr;
  std::unique_ptr<CaptureSession> session_;
  uint64_t baseline_ = 0;
};

// --- Frames ----------------------------------------------------------------

TEST_F(CapturePin, DeliversWholeBottomUpFramesWithIncreasingTimeStamps) {
  Run();
  LONGLONG previous = -1;
  for (int i = 0; i < 4; ++i) {
    DeliveredFrame frame = NextGoodFrame();
    const KS_VIDEOINFOHEADER& info = session_->VideoInfo();
    EXPECT_EQ(frame.header.DataUsed, info.bmiHeader.biSizeImage);
    EXPECT_EQ(frame.header.DataUsed, 2560u * 1920u * 4u);
    EXPECT_EQ(frame.header.OptionsFlags & 0x110u, 0x110u) << "time and duration valid";
    EXPECT_EQ(frame.header.Duration, info.AvgTimePerFrame);
    EXPECT_EQ(frame.header.PresentationTime.Numerator, 1u);
    EXPECT_EQ(frame.header.PresentationTime.Denominator, 1u);
    EXPECT_GT(frame.header.PresentationTime.Time, previous);
    previous = frame.header.PresentationTime.Time;
  }
  EXPECT_EQ(session_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

TEST_F(CapturePin, WithoutAClockFramesCarryNoTimeAndNoTimeFlags) {
  ASSERT_EQ(session_->CreatePin(), STATUS_SUCCESS);
  ASSERT_EQ(session_->RunWithFrames(1), STATUS_SUCCESS);
  DeliveredFrame frame = NextGoodFrame();
  EXPECT_EQ(frame.header.PresentationTime.Time, 0);
  EXPECT_EQ(frame.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID, 0u);
}

// A client frame smaller than the format's image (possible from user mode)
// gets the whole rows that fit and nothing past its end; the class driver's
// guard after the frame would catch a longer copy.
TEST_F(CapturePin, AFrameSmallerThanTheImageGetsOnlyWhatFits) {
  ASSERT_EQ(session_->CreatePin(), STATUS_SUCCESS);
  ASSERT_EQ(session_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  const ULONG rowBytes = 2560 * 4;
  for (ULONG extent : {ULONG(1), rowBytes - 1, rowBytes, 3 * rowBytes + 17}) {
    session_->QueueFrames(1, extent);
  }
  session_->SetRequeue(false);
  ASSERT_EQ(session_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  for (ULONG extent : {ULONG(1), rowBytes - 1, rowBytes, 3 * rowBytes + 17}) {
    DeliveredFrame frame = NextGoodFrame();
    ASSERT_EQ(frame.data.size(), extent);
    EXPECT_EQ(frame.header.DataUsed, extent);
    ULONG whole = extent / rowBytes * rowBytes;
    for (ULONG i = whole; i < extent; ++i) ASSERT_EQ(frame.data[i], 0x5A) << "byte " << i << " of " << extent;
    if (whole > 0) EXPECT_EQ(frame.data[3], 255) << "alpha of the first pixel";
  }
}

// --- Formats ---------------------------------------------------------------

class CapturePinFormats : public CapturePin {
 protected:
  Bytes Offered() {
    Bytes format = session_->OfferedFormat();
    EXPECT_EQ(format.size(), 152u);
    return format;
  }
};

TEST_F(CapturePinFormats, MalformedFormatsAreRefusedBeforeThePinExists) {
  struct Case {
    const char* what;
    void (*edit)(Bytes&);
    NTSTATUS expected;
  } cases[] = {
      {"short FormatSize", [](Bytes& f) { f.resize(151); test::FormatHeaderOf(f).FormatSize = 151; }, STATUS_NO_MATCH},
      {"huge biSize", [](Bytes& f) { test::VideoInfoOf(f).bmiHeader.biSize = 0xFFFFFFF0u; }, STATUS_INVALID_PARAMETER},
      {"biSize past the format", [](Bytes& f) { test::VideoInfoOf(f).bmiHeader.biSize = 41; }, STATUS_INVALID_PARAMETER},
      {"narrower", [](Bytes& f) { test::VideoInfoOf(f).bmiHeader.biWidth -= 8; }, STATUS_NO_MATCH},
      {"taller", [](Bytes& f) { test::VideoInfoOf(f).bmiHeader.biHeight += 1; }, STATUS_NO_MATCH},
      {"compressed", [](Bytes& f) { test::VideoInfoOf(f).bmiHeader.biCompression = 3; }, STATUS_NO_MATCH},
      {"image size one short", [](Bytes& f) { test::VideoInfoOf(f).bmiHeader.biSizeImage -= 1; },
       STATUS_INVALID_PARAMETER},
      // 0x40000000 x 1920 x 4 wraps to 0 in 32 bits.
      {"wrapping pixel count", [](Bytes& f) { test::VideoInfoOf(f).bmiHeader.biWidth = 0x40000000; },
       STATUS_INVALID_PARAMETER},
      {"24-bit sized image", [](Bytes& f) {
         auto& bitmap = test::VideoInfoOf(f).bmiHeader;
         bitmap.biBitCount = 24;
         bitmap.biSizeImage = 2560 * 1920 * 3;
       }, STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes format = Offered();
    c.edit(format);
    EXPECT_EQ(session_->CreatePin(format), c.expected);
    EXPECT_EQ(session_->Pin(), nullptr);
    EXPECT_EQ(ctx_->pinOpen, 0) << "a refused pin leaves the geometry free";
  }
}

TEST_F(CapturePinFormats, A24BitFormatWithRoomFor32BitsIsRefusedAtAcquireAndGivesTheDeviceBack) {
  Bytes format = Offered();
  test::VideoInfoOf(format).bmiHeader.biBitCount = 24;
  ASSERT_EQ(session_->CreatePin(format), STATUS_SUCCESS);
  EXPECT_EQ(session_->SetState(KSSTATE_ACQUIRE), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ctx_->pinAcquired, 0);
  EXPECT_EQ(ctx_->pipeline, nullptr);
}

TEST_F(CapturePinFormats, NegativeHeightIsTheSameSize) {
  Bytes format = Offered();
  auto& bitmap = test::VideoInfoOf(format).bmiHeader;
  bitmap.biHeight = -bitmap.biHeight;
  EXPECT_EQ(session_->CreatePin(format), STATUS_SUCCESS);
}

// A wider format advances each client row by its own width while only the
// image's pixels are written; the bytes between stay the client's.
TEST_F(CapturePinFormats, AWiderFormatAdvancesRowsByItsWidth) {
  Bytes format = Offered();
  auto& bitmap = test::VideoInfoOf(format).bmiHeader;
  const ULONG wide = 2560 + 16;
  bitmap.biWidth = LONG(wide);
  bitmap.biSizeImage = wide * 1920 * 4;
  ASSERT_EQ(session_->CreatePin(format), STATUS_SUCCESS);
  ASSERT_EQ(session_->RunWithFrames(1), STATUS_SUCCESS);
  DeliveredFrame frame = NextGoodFrame();
  for (ULONG row : {0u, 1u, 1919u}) {
    const uint8_t* line = frame.data.data() + size_t(row) * wide * 4;
    EXPECT_EQ(line[3], 255) << "row " << row << " starts with a pixel";
    EXPECT_EQ(line[2559 * 4 + 3], 255) << "row " << row << " ends with a pixel";
    for (ULONG i = 2560 * 4; i < wide * 4; ++i) ASSERT_EQ(line[i], 0x5A) << "row " << row << " byte " << i;
  }
}

TEST_F(CapturePinFormats, AFormatChangeIsRefusedUnlessStoppedAndARefusalKeepsTheFormat) {
  ASSERT_EQ(session_->CreatePin(), STATUS_SUCCESS);
  Bytes wider = Offered();
  auto& bitmap = test::VideoInfoOf(wider).bmiHeader;
  bitmap.biWidth = 2560 + 8;
  bitmap.biSizeImage = (2560 + 8) * 1920 * 4;
  ASSERT_EQ(session_->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(system_.KsDevice().SetPinFormat(session_->Pin(), wider.data(), ULONG(wider.size())),
            STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(session_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(system_.KsDevice().SetPinFormat(session_->Pin(), wider.data(), ULONG(wider.size())), STATUS_SUCCESS);
  Bytes broken = wider;
  test::VideoInfoOf(broken).bmiHeader.biSizeImage = 16;
  EXPECT_EQ(system_.KsDevice().SetPinFormat(session_->Pin(), broken.data(), ULONG(broken.size())),
            STATUS_INVALID_PARAMETER);
  // The accepted wide format still lays the rows out.
  ASSERT_EQ(session_->RunWithFrames(1, (2560 + 8) * 1920 * 4), STATUS_SUCCESS);
  DeliveredFrame frame = NextGoodFrame();
  EXPECT_EQ(frame.data[(2560 + 8) * 4 + 3], 255) << "second row starts one wide row in";
  EXPECT_EQ(frame.data[2560 * 4], 0x5A) << "the gap after the first row is untouched";
}

// --- States ----------------------------------------------------------------

TEST_F(CapturePin, OnlyOnePinHoldsTheCameraAndTheNextOneGetsItWhenItStops) {
  ASSERT_EQ(session_->CreatePin(), STATUS_SUCCESS);
  CaptureSession second(system_);
  ASSERT_EQ(second.OpenFilter(), STATUS_SUCCESS);
  ASSERT_EQ(second.CreatePin(), STATUS_SUCCESS);
  ASSERT_EQ(session_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(second.SetState(KSSTATE_ACQUIRE), STATUS_SHARING_VIOLATION);
  ASSERT_EQ(session_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(second.RunWithFrames(1), STATUS_SUCCESS);
  DeliveredFrame frame;
  EXPECT_TRUE(second.NextFrame(&frame));
  // Closing the first pin leaves the second one's geometry frozen.
  session_->ClosePin();
  EXPECT_EQ(ctx_->pinOpen, 1);
  SetGeometry(ctx_, 0, 0, 640, 480, 0);
  EXPECT_EQ(ctx_->imageWidth, 2560);
}

TEST_F(CapturePin, NothingIsDeliveredBeforeTheFirstGoodRawFrame) {
  sim::CameraFaults silent;
  silent.silent = true;
  system_.Camera()->SetFaults(silent);
  Run(1);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(session_->Completed(), 0u) << "the client's frame stays queued";
}

// Pausing keeps the converted picture and the count of raw frames, so a
// restart delivers at once, even before the camera sends anything new.
TEST_F(CapturePin, PauseAndRunKeepTheCaptureAndDeliverAtOnce) {
  Run(1);
  NextGoodFrame();
  ASSERT_EQ(session_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
  sim::CameraFaults silent;
  silent.silent = true;
  system_.Camera()->SetFaults(silent);
  ASSERT_EQ(session_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  DeliveredFrame frame = NextGoodFrame();
  EXPECT_EQ(frame.header.DataUsed, 2560u * 1920u * 4u);
}

// The frame read in progress is cancelled: stopping never waits for a frame
// the camera is not sending, nor for the transfer time-out.
TEST_F(CapturePin, StoppingDuringAFrameReadReturnsWithinTheStateChangeBound) {
  session_->SetKeepData(false);  // the client's own copies are not the driver's time
  Run(1);
  NextGoodFrame();
  uint64_t slowBefore = system_.KsDevice().PinCallbackTiming().slowCalls;
  sim::CameraFaults silent;
  silent.silent = true;
  system_.Camera()->SetFaults(silent);
  std::this_thread::sleep_for(milliseconds(50));  // the thread is now waiting for data
  for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_STOP}) {
    auto start = steady_clock::now();
    EXPECT_EQ(session_->SetState(state), STATUS_SUCCESS);
    EXPECT_LT(steady_clock::now() - start, kStateChangeBound) << "to state " << state;
  }
  if (!kInstrumented) EXPECT_EQ(system_.KsDevice().PinCallbackTiming().slowCalls, slowBefore);
  EXPECT_EQ(host::LiveThreads(host::ThreadRole::System), 0u) << "capture and band threads ended";
}

TEST_F(CapturePin, AnUnpluggedCameraLeavesThePinResponsive) {
  session_->SetKeepData(false);
  Run(2);
  NextGoodFrame();
  system_.Bus().Unplug();
  std::this_thread::sleep_for(milliseconds(100));
  for (KSSTATE state : {KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_ACQUIRE, KSSTATE_STOP, KSSTATE_RUN}) {
    auto start = steady_clock::now();
    session_->SetState(state);
    EXPECT_LT(steady_clock::now() - start, kStateChangeBound) << "to state " << state;
  }
  auto start = steady_clock::now();
  EXPECT_EQ(session_->ClosePin(), STATUS_SUCCESS);
  EXPECT_LT(steady_clock::now() - start, kStateChangeBound);
}

// Every transition of the state table, many times over with frames flowing:
// the buffers, threads and pipeline all come and go without a leak.
TEST_F(CapturePin, TwoHundredCyclesThroughEveryStateLeakNothing) {
  SetGeometry(ctx_, 0, 0, 2560, 1920, 3);  // 320 x 240 keeps each cycle short
  ASSERT_EQ(session_->CreatePin(), STATUS_SUCCESS);
  ASSERT_EQ(system_.KsDevice().SetPinClock(session_->Pin(), true), STATUS_SUCCESS);
  auto baseline = host::PoolUsage("Vwrk");
  for (int cycle = 0; cycle < 200; ++cycle) {
    SCOPED_TRACE(cycle);
    ASSERT_EQ(session_->RunWithFrames(2), STATUS_SUCCESS);
    DeliveredFrame frame;
    ASSERT_TRUE(session_->NextFrame(&frame));
    ASSERT_EQ(session_->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(session_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  }
  EXPECT_EQ(host::PoolUsage("Vwrk").liveAllocations, baseline.liveAllocations);
  EXPECT_EQ(host::PoolLiveAllocations("IsyR"), 0u);
  EXPECT_EQ(host::LiveThreads(host::ThreadRole::System), 0u);
}

// On the paced bus the camera, not the driver, sets the pace: every frame
// the camera finished reaches the client, with increasing time stamps.
TEST(CapturePinPaced, EveryFrameTheCameraSendsIsDelivered) {
  if (kInstrumented) GTEST_SKIP() << "an instrumented build converts slower than the bus delivers";
  sim::CameraOptions options = Scene("bars");
  options.paced = true;
  CameraSystem system(options);
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  SetGeometry(system.Context(), 0, 0, 2560, 1920, 2);  // 640 x 480: short frames, quick conversions
  {
    CaptureSession session(system);
    ASSERT_EQ(session.OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(session.CreatePin(), STATUS_SUCCESS);
    ASSERT_EQ(system.KsDevice().SetPinClock(session.Pin(), true), STATUS_SUCCESS);
    ASSERT_EQ(session.RunWithFrames(3), STATUS_SUCCESS);
    DeliveredFrame frame;
    ASSERT_TRUE(session.NextFrame(&frame));
    uint64_t sentBefore = system.Camera()->FramesSent();
    size_t deliveredBefore = session.Completed();
    LONGLONG previous = frame.header.PresentationTime.Time;
    for (int i = 0; i < 12; ++i) {
      ASSERT_TRUE(session.NextFrame(&frame));
      EXPECT_GT(frame.header.PresentationTime.Time, previous);
      previous = frame.header.PresentationTime.Time;
    }
    ASSERT_EQ(session.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    uint64_t sent = system.Camera()->FramesSent() - sentBefore;
    size_t delivered = session.Completed() - deliveredBefore;
    // A frame the camera finished just as the pin paused may not be converted.
    EXPECT_GE(delivered + 1, sent) << sent << " frames sent, " << delivered << " delivered";
  }
  system.StopDevice();
}

// --- Two cameras -----------------------------------------------------------

TEST(CapturePinTwoCameras, EachClientReceivesItsOwnCamerasSize) {
  uint64_t baseline = host::PoolLiveAllocations();
  {
    CameraSystem full(Scene("bars"));
    CameraSystem small(Scene("bars"));
    ASSERT_EQ(full.BringUp(), STATUS_SUCCESS);
    ASSERT_EQ(small.BringUp(), STATUS_SUCCESS);
    SetGeometry(small.Context(), 0, 0, 2560, 1920, 2);  // 640 x 480
    CaptureSession a(full);
    CaptureSession b(small);
    ASSERT_EQ(a.OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(b.OpenFilter(), STATUS_SUCCESS);
    ASSERT_EQ(a.CreatePin(), STATUS_SUCCESS);
    ASSERT_EQ(b.CreatePin(), STATUS_SUCCESS);
    ASSERT_EQ(a.RunWithFrames(2), STATUS_SUCCESS);
    ASSERT_EQ(b.RunWithFrames(2), STATUS_SUCCESS);
    for (int i = 0; i < 3; ++i) {
      DeliveredFrame fa, fb;
      ASSERT_TRUE(a.NextFrame(&fa));
      ASSERT_TRUE(b.NextFrame(&fb));
      EXPECT_EQ(fa.header.DataUsed, 2560u * 1920u * 4u);
      EXPECT_EQ(fb.header.DataUsed, 640u * 480u * 4u);
      EXPECT_EQ(a.VideoInfo().bmiHeader.biWidth, 2560);
      EXPECT_EQ(b.VideoInfo().bmiHeader.biWidth, 640);
    }
  }
  EXPECT_EQ(host::PoolLiveAllocations(), baseline);
}

}  // namespace

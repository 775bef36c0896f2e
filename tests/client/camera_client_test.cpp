// The client library end to end against the simulated camera: enumerate,
// open, negotiate, run, receive frames by pull and by callback, pause, stop
// promptly, close; two cameras at once; and the statuses of misuse.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/host_pool.h"
#include "platform/host_threads.h"
#include "tools/client/camera_client.h"

namespace {

using kscam::CameraClient;
using kscam::CameraSystem;
using kscam::ClientOptions;
using kscam::Frame;
using kscam::VideoFormat;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr auto kFrameWait = milliseconds(20000);

sim::CameraOptions Scene(const char* name) {
  sim::CameraOptions options;
  options.scene = name;
  return options;
}

class Client : public ::testing::Test {
 protected:
  void SetUp() override {
    host::ClearPoolFaults();
    poolBefore_ = host::PoolLiveAllocations();
  }
  void TearDown() override {
    host::ClearPoolFaults();
    EXPECT_EQ(host::PoolLiveAllocations(), poolBefore_) << "nothing of the driver's leaked";
    EXPECT_EQ(host::LiveThreadObjects(), 0u);
    EXPECT_EQ(host::LiveThreads(host::ThreadRole::System), 0u);
  }
  uint64_t poolBefore_ = 0;
};

TEST_F(Client, OpensNegotiatesRunsReceivesAndStopsPromptly) {
  CameraSystem camera(Scene("bars"));
  ASSERT_EQ(camera.BringUp(), STATUS_SUCCESS);
  std::vector<kscam::CameraEntry> cameras = kscam::EnumerateCameras({&camera});
  ASSERT_EQ(cameras.size(), 1u);
  {
    CameraClient client(*cameras[0].system);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    KS_DATARANGE_VIDEO range;
    ASSERT_EQ(client.ReadDataRange(&range), STATUS_SUCCESS);
    EXPECT_EQ(range.DataRange.FormatSize, sizeof(KS_DATARANGE_VIDEO));
    EXPECT_EQ(range.VideoInfoHeader.bmiHeader.biWidth, 2560);
    VideoFormat format;
    ASSERT_EQ(client.Negotiate(&format), STATUS_SUCCESS);
    EXPECT_EQ(format.bytes.size(), 152u);
    EXPECT_EQ(format.width, 2560);
    EXPECT_EQ(format.height, 1920) << "bottom-up";
    EXPECT_EQ(format.bitCount, 32);
    EXPECT_EQ(format.imageBytes, 2560u * 1920 * 4);
    EXPECT_EQ(format.stride, 2560u * 4);
    ASSERT_EQ(client.CreatePin(format), STATUS_SUCCESS);
    ASSERT_EQ(client.Run(), STATUS_SUCCESS);

    LONGLONG lastTime = 0;
    for (uint64_t i = 0; i < 4; ++i) {
      Frame frame;
      ASSERT_EQ(client.NextFrame(&frame, kFrameWait), STATUS_SUCCESS);
      EXPECT_EQ(frame.sequence, i);
      EXPECT_TRUE(frame.timeValid);
      EXPECT_GT(frame.time, lastTime) << "time stamps increase";
      lastTime = frame.time;
      EXPECT_EQ(frame.dataUsed, format.imageBytes);
      EXPECT_EQ(frame.pixels.size(), format.imageBytes);
      EXPECT_FALSE(frame.topDown);
      EXPECT_EQ(frame.pixels[3], 255) << "BGRA: the first pixel's alpha";
      EXPECT_EQ(frame.pixels[frame.pixels.size() - 1], 255) << "the last pixel's alpha";
    }
    uint64_t slowBefore = camera.KsDevice().PinCallbackTiming().slowCalls;
    EXPECT_EQ(client.Stop(), STATUS_SUCCESS);
#ifndef __SANITIZE_THREAD__  // instrumentation slows the conversion a stop waits for many times over
    EXPECT_EQ(camera.KsDevice().PinCallbackTiming().slowCalls, slowBefore)
        << "each of the driver's steps down to STOP within the platform's 500 ms bound";
#endif
    Frame frame;
    while (client.NextFrame(&frame, milliseconds(0)) == STATUS_SUCCESS) {
    }
    EXPECT_EQ(client.NextFrame(&frame, milliseconds(50)), STATUS_TIMEOUT) << "nothing arrives while stopped";
    client.Close();
    EXPECT_EQ(camera.KsDevice().OpenPins(), 0u);
  }
  camera.StopDevice();
  camera.RemoveDevice();
}

TEST_F(Client, PauseKeepsTheBuffersAndRunResumesTheSequence) {
  CameraSystem camera(Scene("bars"));
  ASSERT_EQ(camera.BringUp(), STATUS_SUCCESS);
  {
    std::atomic<uint64_t> next{0};
    std::atomic<bool> inOrder{true};
    ClientOptions options;
    options.callback = [&](const Frame& frame) {
      if (frame.sequence != next.fetch_add(1)) inOrder = false;
    };
    CameraClient client(camera, options);
    ASSERT_EQ(client.Connect(), STATUS_SUCCESS);
    Frame frame;
    EXPECT_EQ(client.NextFrame(&frame, milliseconds(0)), STATUS_INVALID_DEVICE_STATE) << "frames go to the callback";
    ASSERT_EQ(client.Run(), STATUS_SUCCESS);
    auto deadline = steady_clock::now() + kFrameWait;
    while (next.load() < 2 && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
    ASSERT_GE(next.load(), 2u);
    ASSERT_EQ(client.Pause(), STATUS_SUCCESS);
    // Frames completed before the pause may still be on their way to the
    // callback (slowly in the sanitizer builds): wait until the count holds.
    uint64_t paused = next.load();
    deadline = steady_clock::now() + kFrameWait;
    do {
      paused = next.load();
      std::this_thread::sleep_for(milliseconds(500));
    } while (next.load() != paused && steady_clock::now() < deadline);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(next.load(), paused) << "no frames while paused";
    ASSERT_EQ(client.Run(), STATUS_SUCCESS);
    deadline = steady_clock::now() + kFrameWait;
    while (next.load() < paused + 2 && steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(5));
    EXPECT_GE(next.load(), paused + 2) << "the kept buffers fill again after pause";
    EXPECT_TRUE(inOrder.load());
    // Frames keep coming until the pause; a callback may still be running
    // just after it, so the counts are compared once it has returned.
    ASSERT_EQ(client.Pause(), STATUS_SUCCESS);
    deadline = steady_clock::now() + kFrameWait;
    while (client.FramesDelivered() != next.load() && steady_clock::now() < deadline)
      std::this_thread::sleep_for(milliseconds(5));
    EXPECT_EQ(client.FramesDelivered(), next.load());
  }
  camera.StopDevice();
  camera.RemoveDevice();
}

// Two cameras stream at once, one client flipping to top-down: the same
// static scene gives the same first frame, one upside down of the other.
TEST_F(Client, TwoCamerasAtOnceAndTheTopDownFlip) {
  CameraSystem first(Scene("chart"));
  CameraSystem second(Scene("chart"));
  ASSERT_EQ(first.BringUp(), STATUS_SUCCESS);
  ASSERT_EQ(second.BringUp(), STATUS_SUCCESS);
  ASSERT_EQ(kscam::EnumerateCameras({&first, &second}).size(), 2u);
  {
    CameraClient bottomUp(first);
    ClientOptions flip;
    flip.topDown = true;
    CameraClient topDown(second, flip);
    ASSERT_EQ(bottomUp.Connect(), STATUS_SUCCESS);
    ASSERT_EQ(topDown.Connect(), STATUS_SUCCESS);
    ASSERT_EQ(bottomUp.Run(), STATUS_SUCCESS);
    ASSERT_EQ(topDown.Run(), STATUS_SUCCESS);
    Frame a, b;
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(bottomUp.NextFrame(&a, kFrameWait), STATUS_SUCCESS);
      ASSERT_EQ(topDown.NextFrame(&b, kFrameWait), STATUS_SUCCESS);
      if (i == 0) {
        ASSERT_EQ(a.pixels.size(), b.pixels.size());
        EXPECT_FALSE(a.topDown);
        EXPECT_TRUE(b.topDown);
        size_t stride = a.stride, rows = size_t(a.height);
        for (size_t row : {size_t(0), size_t(1), rows / 3, rows - 1})
          EXPECT_EQ(memcmp(&a.pixels[row * stride], &b.pixels[(rows - 1 - row) * stride], stride), 0) << "row " << row;
      }
    }
    EXPECT_EQ(b.sequence, 2u);
  }
  for (CameraSystem* camera : {&first, &second}) {
    camera->StopDevice();
    camera->RemoveDevice();
  }
}

TEST(ClientFlip, RowsComeOutInReverseOrder) {
  constexpr size_t kStride = 8, kRows = 5;
  std::vector<uint8_t> bottomUp(kStride * kRows);
  for (size_t i = 0; i < bottomUp.size(); ++i) bottomUp[i] = uint8_t(i);
  std::vector<uint8_t> topDown(bottomUp.size() + 1, 0xEE);
  kscam::CopyRowsReversed(bottomUp.data(), kStride, kRows, topDown.data());
  for (size_t row = 0; row < kRows; ++row)
    EXPECT_EQ(memcmp(&topDown[row * kStride], &bottomUp[(kRows - 1 - row) * kStride], kStride), 0) << "row " << row;
  EXPECT_EQ(topDown[kStride * kRows], 0xEE) << "nothing past the last row";
}

TEST_F(Client, MisuseGetsStatuses) {
  CameraSystem camera(Scene("bars"));
  {
    CameraClient early(camera);
    EXPECT_TRUE(kscam::EnumerateCameras({&camera, nullptr}).empty()) << "a camera not started is not offered";
    EXPECT_EQ(early.Open(), STATUS_NO_SUCH_DEVICE);
  }
  ASSERT_EQ(camera.BringUp(), STATUS_SUCCESS);
  {
    CameraClient client(camera);
    VideoFormat format;
    Frame frame;
    EXPECT_EQ(client.Negotiate(&format), STATUS_INVALID_DEVICE_STATE) << "before Open";
    EXPECT_EQ(client.Run(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(client.NextFrame(&frame, milliseconds(0)), STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(client.Open(), STATUS_SUCCESS);
    EXPECT_EQ(client.Open(), STATUS_INVALID_DEVICE_STATE) << "opened twice";
    ASSERT_EQ(client.Negotiate(&format), STATUS_SUCCESS);

    VideoFormat broken = format;
    broken.bytes.resize(100);
    EXPECT_EQ(client.CreatePin(broken), STATUS_INVALID_PARAMETER) << "too short for its video header";
    broken = format;
    reinterpret_cast<KS_VIDEOINFOHEADER*>(broken.bytes.data() + sizeof(KSDATAFORMAT))->bmiHeader.biWidth = 0x7FFFFFFF;
    EXPECT_EQ(client.CreatePin(broken), STATUS_INVALID_PARAMETER) << "an image that does not fit 32 bits";
    broken = format;
    reinterpret_cast<KSDATAFORMAT*>(broken.bytes.data())->MajorFormat = GUID{1, 2, 3, {4}};
    EXPECT_EQ(client.CreatePin(broken), STATUS_NO_MATCH) << "the class driver's answer";

    ASSERT_EQ(client.CreatePin(format), STATUS_SUCCESS);
    EXPECT_EQ(client.CreatePin(format), STATUS_INVALID_DEVICE_STATE) << "one pin per client";
    EXPECT_EQ(client.NextFrame(&frame, milliseconds(10)), STATUS_TIMEOUT) << "stopped: nothing to pull";

    // A second client of the same camera gets its own filter and pin, but
    // the device streams to one pin at a time.
    CameraClient other(camera);
    ASSERT_EQ(other.Connect(), STATUS_SUCCESS);
    ASSERT_EQ(client.Run(), STATUS_SUCCESS);
    EXPECT_EQ(other.Run(), STATUS_SHARING_VIOLATION);
    ASSERT_EQ(client.Stop(), STATUS_SUCCESS);
    EXPECT_EQ(other.Run(), STATUS_SUCCESS) << "free once the first stopped";
    ASSERT_EQ(other.NextFrame(&frame, kFrameWait), STATUS_SUCCESS);
  }
  {
    ClientOptions none;
    none.buffers = 0;
    CameraClient client(camera, none);
    EXPECT_EQ(client.Connect(), STATUS_INVALID_PARAMETER);
    ClientOptions many;
    many.buffers = CameraClient::kMaxBuffers + 1;
    CameraClient greedy(camera, many);
    EXPECT_EQ(greedy.Connect(), STATUS_INVALID_PARAMETER);
  }
  camera.StopDevice();
  camera.RemoveDevice();
}

}  // namespace

// The camera object: geometry, frame layout per sensor revision, Bayer
// phase, exposure, gain, mirrors, trigger, the clock-change handshake and
// the operation table itself.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "camera/sensor.h"
#include "support/pool_buffer.h"
#include "stream/video_range.h"
#include "tools/client/camera_system.h"
#include "usb/command_packets.h"
#include "usb/frame_transfer.h"
#include "usb/usb_requests.h"

namespace {

using kscam::CameraSystem;

class CameraProgramming : public ::testing::Test {
 protected:
  void Bring(sim::SensorChip chip) {
    sim::CameraOptions options;
    options.chip = chip;
    system_ = std::make_unique<CameraSystem>(options);
    ASSERT_EQ(system_->BringUp(), STATUS_SUCCESS);
    ctx_ = system_->Context();
    Camera().ClearCommands();
  }
  void SetUp() override { Bring(sim::SensorChip::Rev1800); }
  sim::SimulatedCamera& Camera() { return *system_->Camera(); }
  CameraObject* Object() { return ctx_; }

  std::unique_ptr<CameraSystem> system_;
  DeviceContext* ctx_ = nullptr;
};

struct GeometryCase {
  LONG x, y, width, height, mode;
  LONG roiX, roiY, roiWidth, roiHeight, outputWidth, outputHeight, imageWidth;
};

TEST_F(CameraProgramming, GeometryIsClampedAndTheDataRangeFollowsIt) {
  const GeometryCase cases[] = {
      {2550, 0, 100, 100, 0, 0, 0, 100, 100, 100, 100, 96},
      {100, 100, 10, 10, 0, 100, 100, 32, 32, 32, 32, 32},
      {2000, 1000, 1000, 1000, 0, 2000, 1000, 560, 920, 560, 920, 560},
      {0, 0, 1001, 600, 0, 0, 0, 1001, 600, 1001, 600, 1000},
      {-5, -7, 64, 64, 0, 0, 0, 64, 64, 64, 64, 64},
      {10, 10, 64, 64, 2, 0, 0, 2560, 1920, 640, 480, 640},
      {10, 10, 64, 64, 7, 10, 10, 64, 64, 64, 64, 64},
      {0, 0, 2560, 1920, 1, 0, 0, 2560, 1920, 1280, 960, 1280},
      {0, 0, 2560, 1920, 3, 0, 0, 2560, 1920, 320, 240, 320},
  };
  for (const GeometryCase& c : cases) {
    SetGeometry(ctx_, c.x, c.y, c.width, c.height, c.mode);
    SCOPED_TRACE(testing::Message() << "SetGeometry(" << c.x << ", " << c.y << ", " << c.width << ", "
                                    << c.height << ", " << c.mode << ")");
    EXPECT_EQ(ctx_->roiX, c.roiX);
    EXPECT_EQ(ctx_->roiY, c.roiY);
    EXPECT_EQ(ctx_->roiWidth, c.roiWidth);
    EXPECT_EQ(ctx_->roiHeight, c.roiHeight);
    EXPECT_EQ(ctx_->outputWidth, c.outputWidth);
    EXPECT_EQ(ctx_->outputHeight, c.outputHeight);
    EXPECT_EQ(ctx_->imageWidth, c.imageWidth);
    EXPECT_EQ(ctx_->imageHeight, c.outputHeight);
    EXPECT_EQ(videoDataRange.VideoInfoHeader.bmiHeader.biWidth, c.imageWidth);
    EXPECT_EQ(videoDataRange.ConfigCaps.MaxOutputSize.cy, c.outputHeight);
  }
  SetGeometry(ctx_, 0, 0, 0, 0, 2);
  EXPECT_EQ(videoDataRange.DataRange.SampleSize, 1228800u);
  EXPECT_EQ(ULONG(videoDataRange.ConfigCaps.MinBitsPerSecond), 294912000u);
  EXPECT_EQ(videoDataRange.VideoInfoHeader.dwBitRate, 36864000u);
  EXPECT_EQ(videoDataRange.VideoInfoHeader.bmiHeader.biSizeImage, 1228800u);

  SetPinOpen(ctx_, 1);
  SetGeometry(ctx_, 0, 0, 2560, 1920, 0);
  EXPECT_EQ(ctx_->subSample, 2) << "the geometry is frozen while a pin exists";
  EXPECT_EQ(ctx_->outputWidth, 640);
  SetPinOpen(ctx_, 0);
  SetGeometry(ctx_, 0, 0, 2560, 1920, 0);
  EXPECT_EQ(videoDataRange.DataRange.SampleSize, 19660800u);
}

struct LayoutCase {
  sim::SensorChip chip;
  LONG mode;
  ULONG lineOffset, rowPitch, frameBytes;
};

TEST(CameraLayout, FrameLayoutFollowsSensorRevisionAndMode) {
  const LayoutCase cases[] = {
      {sim::SensorChip::Rev1800, 0, 608, 3184, 6114304},
      {sim::SensorChip::Rev1801Short, 0, 608, 3184, 6114304},
      {sim::SensorChip::Rev1801Long, 0, 884, 3460, 6644736},
      {sim::SensorChip::Rev1801Long, 3, 884, 1266, 305152},
      {sim::SensorChip::Rev1800, 1, 608, 1904, 1828864},
      {sim::SensorChip::Rev1800, 2, 608, 1264, 608256},
  };
  for (const LayoutCase& c : cases) {
    sim::CameraOptions options;
    options.chip = c.chip;
    CameraSystem system(options);
    ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
    DeviceContext* ctx = system.Context();
    SetGeometry(ctx, 0, 0, 2560, 1920, c.mode);
    static_cast<CameraObject*>(ctx)->ApplySettings();
    SCOPED_TRACE(testing::Message() << "chip variant " << int(c.chip) << ", mode " << c.mode);
    EXPECT_EQ(ctx->lineOffset, c.lineOffset);
    EXPECT_EQ(ctx->rowPitch, c.rowPitch);
    EXPECT_EQ(ctx->frameBytes, c.frameBytes);
    EXPECT_EQ(ctx->frameBytes % 1024, 0u);
    EXPECT_EQ(system.Camera()->FrameSize(), c.frameBytes) << "the bridge was told the frame size";
    ULONG skip = c.mode == 0 ? 0 : (1u << c.mode) - 1;
    EXPECT_EQ(system.Camera()->Register(0x22) & 7u, skip);
    EXPECT_EQ(system.Camera()->Register(0x23) & 7u, skip);
  }
}

TEST_F(CameraProgramming, ApplySettingsWritesTheWindowAndTellsTheBridgeTheFrameSize) {
  SetGeometry(ctx_, 101, 33, 640, 480, 0);
  Camera().SetRegister(0x22, 0x0F0);
  ctx_->exposure = 100000;
  ctx_->globalGain = 100;
  LONG phase = Object()->ApplySettings();
  EXPECT_EQ(phase, 1) << "an odd first row starts on the blue-green row";
  EXPECT_EQ(Camera().Register(0x01), 33 + 54);
  EXPECT_EQ(Camera().Register(0x02), 101 + 16);
  EXPECT_EQ(Camera().Register(0x03), 479);
  EXPECT_EQ(Camera().Register(0x04), 639);
  EXPECT_EQ(Camera().Register(0x22), 0x0F0) << "only the skip bits are rewritten";
  EXPECT_EQ(Camera().Register(0x09), 6400);
  EXPECT_EQ(Camera().Register(0x08), 0);
  EXPECT_EQ(Camera().Register(0x35), 63);
  EXPECT_EQ(ctx_->exposure, 6400u);
  EXPECT_EQ(ctx_->globalGain, 63u);

  // 0x0A then 0x09 with the frame size, least significant byte first.
  ULONG frameBytes = ctx_->frameBytes;
  auto commands = Camera().Commands();
  size_t setup = 0;
  while (setup < commands.size() && commands[setup][0] != 0x0A) ++setup;
  ASSERT_LT(setup + 1, commands.size());
  std::vector<uint8_t> expectSetup(64, 0), expectSize(64, 0);
  expectSetup[0] = 0x0A;
  expectSize[0] = 0x09;
  for (int i = 0; i < 4; ++i) expectSize[1 + i] = uint8_t(frameBytes >> (8 * i));
  EXPECT_EQ(commands[setup], expectSetup);
  EXPECT_EQ(commands[setup + 1], expectSize);
}

TEST_F(CameraProgramming, BayerPhaseFollowsTheFirstRowAndTheMirrors) {
  struct Case {
    LONG roiY, roiWidth, roiHeight, flipH, flipV, phase;
  } cases[] = {
      {1, 64, 64, 0, 0, 1}, {0, 64, 64, 0, 1, 1}, {1, 64, 64, 0, 1, 0}, {0, 64, 65, 0, 1, 0},
      {0, 64, 64, 1, 0, 2}, {0, 65, 64, 1, 0, 0}, {1, 64, 64, 1, 0, 3}, {0, 64, 64, 1, 1, 3},
  };
  for (const Case& c : cases) {
    ctx_->roiY = c.roiY;
    ctx_->roiWidth = c.roiWidth;
    ctx_->roiHeight = c.roiHeight;
    ctx_->flipH = c.flipH;
    ctx_->flipV = c.flipV;
    EXPECT_EQ(ComputeBayerPhase(ctx_), c.phase);
    EXPECT_EQ(ctx_->bayerPhase, c.phase);
  }
}

TEST_F(CameraProgramming, ExposureGainAndTriggerAreClampedAndWrittenAsTheSensorExpects) {
  EXPECT_TRUE(SetExposure(ctx_, 0));
  EXPECT_EQ(Camera().Register(0x09), 1);
  EXPECT_EQ(ctx_->exposure, 1u);
  EXPECT_TRUE(SetExposure(ctx_, 0xFFFFFFFF));
  EXPECT_EQ(Camera().Register(0x09), 6400);
  EXPECT_TRUE(SetGlobalGain(ctx_, 100));
  EXPECT_EQ(Camera().Register(0x35), 63);
  EXPECT_EQ(ctx_->globalGain, 63u);

  Camera().SetRegister(0x1E, 0x0040);
  EXPECT_TRUE(SetExTrigger(ctx_, true));
  EXPECT_EQ(Camera().Register(0x1E), 0x0340);
  EXPECT_EQ(ctx_->exTrigger, 1);
  EXPECT_TRUE(SetExTrigger(ctx_, false));
  EXPECT_EQ(Camera().Register(0x1E), 0x0040);
  EXPECT_EQ(ctx_->exTrigger, 0);

  // A sensor that does not answer changes no stored setting.
  sim::CameraFaults faults;
  faults.stallCommandPipe = true;
  Camera().SetFaults(faults);
  EXPECT_FALSE(SetExposure(ctx_, 300));
  EXPECT_FALSE(SetGlobalGain(ctx_, 5));
  EXPECT_FALSE(SetFlipH(ctx_, 1));
  EXPECT_FALSE(SetExTrigger(ctx_, true));
  EXPECT_EQ(ctx_->exposure, 6400u);
  EXPECT_EQ(ctx_->globalGain, 63u);
  EXPECT_EQ(ctx_->flipH, 0);
  EXPECT_EQ(ctx_->exTrigger, 0);
}

TEST_F(CameraProgramming, MirrorsSetTheirOwnBitAndThePhase) {
  Camera().SetRegister(0x20, 0x0040);
  EXPECT_TRUE(SetFlipH(ctx_, 5));
  EXPECT_EQ(Camera().Register(0x20), 0x4040);
  EXPECT_EQ(ctx_->flipH, 1);
  EXPECT_EQ(ctx_->bayerPhase, 2);
  EXPECT_TRUE(SetFlipV(ctx_, 1));
  EXPECT_EQ(Camera().Register(0x20), 0xC040);
  EXPECT_EQ(ctx_->bayerPhase, 3);
  EXPECT_TRUE(SetFlipH(ctx_, 0));
  EXPECT_EQ(Camera().Register(0x20), 0x8040);
  EXPECT_EQ(ctx_->bayerPhase, 1);
}

TEST(CameraInit, OnlyTheShortLeadInRevisionGetsItsSetupRegisters) {
  for (sim::SensorChip chip :
       {sim::SensorChip::Rev1800, sim::SensorChip::Rev1801Short, sim::SensorChip::Rev1801Long}) {
    sim::CameraOptions options;
    options.chip = chip;
    CameraSystem system(options);
    ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
    size_t writes = 0;
    bool sawSetup = false;
    for (const auto& command : system.Camera()->Commands()) {
      if (command[0] != 0x04) continue;
      ++writes;
      sawSetup |= command[1] == 0x27 && command[2] == 0x00 && command[3] == 0x0B;
    }
    EXPECT_EQ(sawSetup, chip == sim::SensorChip::Rev1801Short);
    // 0x0D, optionally the 16 setup registers, four channel gains, global gain, mirror.
    EXPECT_EQ(writes, chip == sim::SensorChip::Rev1801Short ? 23u : 7u);
    EXPECT_EQ(system.Camera()->Register(0x2D), 14);
    EXPECT_EQ(system.Camera()->Register(0x20), 0x8040);
  }
}

TEST_F(CameraProgramming, TheOperationTableIsInSlotOrder) {
  ctx_->frameBytes = 111;
  ctx_->lineOffset = 222;
  ctx_->rowPitch = 333;
  using Getter = void (*)(CameraObject*, ULONG*);
  void** table = *reinterpret_cast<void***>(static_cast<CameraObject*>(ctx_));
  ULONG value = 0;
  reinterpret_cast<Getter>(table[3])(ctx_, &value);
  EXPECT_EQ(value, 111u);
  reinterpret_cast<Getter>(table[4])(ctx_, &value);
  EXPECT_EQ(value, 222u);
  reinterpret_cast<Getter>(table[5])(ctx_, &value);
  EXPECT_EQ(value, 333u);
  ctx_->frameSpoiled = 1;
  ctx_->reconfigurePending = 1;
  reinterpret_cast<void (*)(CameraObject*)>(table[8])(ctx_);
  EXPECT_EQ(ctx_->frameSpoiled, 0);
  EXPECT_EQ(ctx_->reconfigurePending, 0);
}

TEST_F(CameraProgramming, ClockChangeReprogramsTheSensorAndSpoilsTheNextFrame) {
  SetGeometry(ctx_, 0, 0, 64, 32, 0);
  Object()->ApplySettings();
  ASSERT_TRUE(SetHalfClock(ctx_, 1));
  EXPECT_TRUE(Camera().HalfClock());
  EXPECT_EQ(ctx_->halfClock, 1);
  EXPECT_EQ(ctx_->reconfigurePending, 1);
  kscam_test::PoolBuffer frame(ctx_->frameBytes);
  BOOLEAN good = TRUE;
  EXPECT_EQ(Object()->ReadFrame(frame.data(), &good), STATUS_SUCCESS);
  EXPECT_FALSE(good) << "the frame read across a clock change is not good";
  EXPECT_EQ(KeReadStateEvent(&ctx_->reconfigureDone), 0);
  EXPECT_EQ(Object()->ReadFrame(frame.data(), &good), STATUS_SUCCESS);
  EXPECT_TRUE(good);
}

// A clock command that fails must not leave the capture thread waiting for a
// reconfiguration that never comes.
TEST_F(CameraProgramming, FailedClockChangeReleasesAWaitingFrameRead) {
  SetGeometry(ctx_, 0, 0, 64, 32, 0);
  Object()->ApplySettings();
  kscam_test::PoolBuffer frame(ctx_->frameBytes);
  InterlockedExchange(&ctx_->reconfigurePending, 1);  // a clock change is under way
  auto reader = std::async(std::launch::async, [&] {
    BOOLEAN good = TRUE;
    Object()->ReadFrame(frame.data(), &good);
    return good;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  sim::CameraFaults faults;
  faults.stallCommandPipe = true;
  Camera().SetFaults(faults);
  EXPECT_FALSE(SetHalfClock(ctx_, 1));
  Camera().SetFaults(sim::CameraFaults());
  ResetPipe(&ctx_->usb, kCommandPipe);  // a stalled endpoint stays halted until reset
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "frame read still waiting";
  EXPECT_FALSE(reader.get());
  EXPECT_EQ(ctx_->reconfigurePending, 0);
  EXPECT_EQ(ctx_->halfClock, 0);
}

TEST_F(CameraProgramming, CancelReadReleasesAReadWaitingForAReconfiguration) {
  SetGeometry(ctx_, 0, 0, 64, 32, 0);
  Object()->ApplySettings();
  kscam_test::PoolBuffer frame(ctx_->frameBytes);
  InterlockedExchange(&ctx_->reconfigurePending, 1);
  auto reader = std::async(std::launch::async, [&] {
    BOOLEAN good = TRUE;
    Object()->ReadFrame(frame.data(), &good);
    return good;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Object()->CancelRead();
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(reader.get());
}

TEST_F(CameraProgramming, FrameSinkIsToldOfReadyFrames) {
  struct CountingSink : FrameSink {
    int frames = 0;
    void FrameReady() override { ++frames; }
  } sink;
  Object()->NotifyFrameReady();  // no sink: nothing happens
  ctx_->frameSink = &sink;
  Object()->NotifyFrameReady();
  EXPECT_EQ(sink.frames, 1);
  ctx_->frameSink = nullptr;
}

TEST_F(CameraProgramming, MarkedPipesAreAbortedAndUnmarked) {
  ctx_->usb.pipeResetMarks[2] = 1;
  system_->Bus().ClearLog();
  Object()->AbortMarkedPipes();
  EXPECT_EQ(ctx_->usb.pipeResetMarks[2], 0);
  auto log = system_->Bus().Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].urbFunction, URB_FUNCTION_ABORT_PIPE);
  EXPECT_EQ(log[0].endpointAddress, 0x82);
}

}  // namespace

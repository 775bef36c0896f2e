// The camera object: geometry, frame layout per sensor revision, Bayer
// phase, exposure, gain, mirrors, trigger, the clock-change handshake and
// the operation table itself.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "camera/sensor.h"
#include "support/exchange_helpers.h"
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

// What one window-mode argument becomes when the other three are an ordinary
// window (100, 100, 640, 480).
struct WindowArgumentCase {
  int argument;  // 0 x, 1 y, 2 width, 3 height
  LONG value;
  LONG roiX, roiY, roiWidth, roiHeight;
};

// The window arguments arrive from the region-of-interest property and the
// registry unchecked: every extreme must give a window inside the sensor, and
// a corner that leaves no room for the smallest window starts again at 0.
TEST_F(CameraProgramming, GeometryClampsEveryArgumentAtItsExtremesInEveryMode) {
  const LONG kMin = INT32_MIN, kMax = INT32_MAX;
  const WindowArgumentCase window[] = {
      {0, kMin, 0, 100, 640, 480},   {0, -1, 0, 100, 640, 480},    {0, 0, 0, 100, 640, 480},
      {0, kMax, 0, 100, 640, 480},   {0, 2527, 2527, 100, 33, 480}, {0, 2528, 0, 100, 640, 480},
      {0, 2000, 2000, 100, 560, 480},
      {1, kMin, 100, 0, 640, 480},   {1, -1, 100, 0, 640, 480},    {1, 0, 100, 0, 640, 480},
      {1, kMax, 100, 0, 640, 480},   {1, 1887, 100, 1887, 640, 33}, {1, 1888, 100, 0, 640, 480},
      {1, 1000, 100, 1000, 640, 480},
      {2, kMin, 100, 100, 32, 480},  {2, -1, 100, 100, 32, 480},   {2, 0, 100, 100, 32, 480},
      {2, 31, 100, 100, 32, 480},    {2, kMax, 100, 100, 2460, 480}, {2, 2460, 100, 100, 2460, 480},
      {2, 1001, 100, 100, 1001, 480},
      {3, kMin, 100, 100, 640, 32},  {3, -1, 100, 100, 640, 32},   {3, 0, 100, 100, 640, 32},
      {3, kMax, 100, 100, 640, 1820}, {3, 1820, 100, 100, 640, 1820},
  };
  const LONG extremes[] = {kMin, -1, 0, 1, 31, 2528, 1888, kMax};
  const struct {
    LONG mode;
    LONG outputWidth, outputHeight;  // 0: the window's own size
  } modes[] = {{0, 0, 0},         {1, 1280, 960},   {2, 640, 480}, {3, 320, 240},
               {-1, 0, 0},        {4, 0, 0},        {kMin, 0, 0},  {kMax, 0, 0}};

  auto check = [&](LONG x, LONG y, LONG w, LONG h, LONG mode, LONG roiX, LONG roiY, LONG roiW,
                   LONG roiH, LONG outW, LONG outH) {
    SCOPED_TRACE(testing::Message() << "SetGeometry(" << x << ", " << y << ", " << w << ", " << h
                                    << ", " << mode << ")");
    SetGeometry(ctx_, x, y, w, h, mode);
    EXPECT_EQ(ctx_->subSample, mode >= 0 && mode <= 3 ? mode : 0);
    EXPECT_EQ(ctx_->roiX, roiX);
    EXPECT_EQ(ctx_->roiY, roiY);
    EXPECT_EQ(ctx_->roiWidth, roiW);
    EXPECT_EQ(ctx_->roiHeight, roiH);
    EXPECT_EQ(ctx_->outputWidth, outW);
    EXPECT_EQ(ctx_->outputHeight, outH);
    EXPECT_EQ(ctx_->imageWidth, outW - outW % 8);
    EXPECT_EQ(ctx_->imageHeight, outH);
    EXPECT_EQ(ctx_->videoRange.VideoInfoHeader.bmiHeader.biWidth, outW - outW % 8);
    EXPECT_EQ(ctx_->videoRange.ConfigCaps.MaxOutputSize.cy, outH);
  };
  for (const auto& m : modes) {
    bool windowMode = m.outputWidth == 0;
    if (windowMode) {
      for (const WindowArgumentCase& c : window) {
        LONG args[4] = {100, 100, 640, 480};
        args[c.argument] = c.value;
        check(args[0], args[1], args[2], args[3], m.mode, c.roiX, c.roiY, c.roiWidth, c.roiHeight,
              c.roiWidth, c.roiHeight);
      }
    } else {
      // Subsampling reads the whole sensor whatever the window arguments say.
      for (int argument = 0; argument < 4; ++argument)
        for (LONG value : extremes) {
          LONG args[4] = {100, 100, 640, 480};
          args[argument] = value;
          check(args[0], args[1], args[2], args[3], m.mode, 0, 0, 2560, 1920, m.outputWidth,
                m.outputHeight);
        }
    }
  }
  SetGeometry(ctx_, 0, 0, 0, 0, 2);
  EXPECT_EQ(ctx_->videoRange.DataRange.SampleSize, 1228800u);
  EXPECT_EQ(ULONG(ctx_->videoRange.ConfigCaps.MinBitsPerSecond), 294912000u);
  EXPECT_EQ(ctx_->videoRange.VideoInfoHeader.dwBitRate, 36864000u);

  SetPinOpen(ctx_, 1);
  SetGeometry(ctx_, 0, 0, 2560, 1920, 0);
  EXPECT_EQ(ctx_->subSample, 2) << "the geometry is frozen while a pin exists";
  EXPECT_EQ(ctx_->outputWidth, 640);
  SetPinOpen(ctx_, 0);
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

  // A camera that refuses every command changes no stored setting.
  system_->Bus().SetSubmitFault(
      [](const URB& urb, uint8_t endpoint) { return kscam_test::CommandPacketOf(urb, endpoint) != nullptr; });
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
    bool sawSetup = false;
    for (const auto& command : system.Camera()->Commands()) {
      if (command[0] != 0x04) continue;
      sawSetup |= command[1] == 0x27 && command[2] == 0x00 && command[3] == 0x0B;
    }
    EXPECT_EQ(sawSetup, chip == sim::SensorChip::Rev1801Short);
    EXPECT_EQ(system.Camera()->Register(0x2D), 14);
    // Start-up sets the vertical mirror; the stored settings (none: not
    // mirrored) then clear it.
    EXPECT_EQ(system.Camera()->Register(0x20), 0x0040);
  }
}

// The streaming side reaches the camera only through the table, by slot: a
// slot that leads to the wrong operation passes every test that calls the
// operations by name.
TEST_F(CameraProgramming, EverySlotOfTheOperationTableReachesItsOperation) {
  void** table = *reinterpret_cast<void***>(static_cast<CameraObject*>(ctx_));
  using Action = void (*)(CameraObject*);
  using Getter = void (*)(CameraObject*, ULONG*);
  using Apply = LONG (*)(CameraObject*);
  using Read = NTSTATUS (*)(CameraObject*, PUCHAR, ULONG, BOOLEAN*);
  SetGeometry(ctx_, 0, 1, 64, 32, 0);  // an odd first row: phase 1

  // 1: ApplySettings programs the window and tells the bridge the frame size.
  EXPECT_EQ(reinterpret_cast<Apply>(table[1])(ctx_), 1);
  EXPECT_EQ(Camera().Register(0x01), 1 + 54);
  EXPECT_EQ(Camera().FrameSize(), 23552u);

  // 3, 4, 5: frame bytes, lead-in and row pitch of a 64 x 32 window on the 1800.
  const ULONG layout[] = {23552, 608, 608 + 64 + 16};
  for (int slot = 3; slot <= 5; ++slot) {
    ULONG value = 0;
    reinterpret_cast<Getter>(table[slot])(ctx_, &value);
    EXPECT_EQ(value, layout[slot - 3]) << "slot " << slot;
  }

  // 2: ReadFrame reads the frame the camera sends.
  kscam_test::PoolBuffer frame(23552);
  BOOLEAN good = FALSE;
  EXPECT_EQ(reinterpret_cast<Read>(table[2])(ctx_, frame.data(), ULONG(frame.size()), &good), STATUS_SUCCESS);
  EXPECT_TRUE(good);
  EXPECT_EQ(std::vector<UCHAR>(frame.data(), frame.data() + frame.size()), Camera().RenderFrame());

  // 0: NotifyFrameReady reaches the registered sink, and nothing without one.
  struct CountingSink : FrameSink {
    int frames = 0;
    void FrameReady() override { ++frames; }
  } sink;
  reinterpret_cast<Action>(table[0])(ctx_);
  ctx_->frameSink = &sink;
  reinterpret_cast<Action>(table[0])(ctx_);
  ctx_->frameSink = nullptr;
  EXPECT_EQ(sink.frames, 1);

  // 6: AbortMarkedPipes aborts the marked frame pipe and clears its mark.
  ctx_->usb.pipeResetMarks[2] = 1;
  system_->Bus().ClearLog();
  reinterpret_cast<Action>(table[6])(ctx_);
  EXPECT_EQ(ctx_->usb.pipeResetMarks[2], 0);
  auto log = system_->Bus().Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].urbFunction, URB_FUNCTION_ABORT_PIPE);
  EXPECT_EQ(log[0].endpointAddress, 0x82);

  // 7: CancelRead clears the clock-change mark and wakes a waiting read.
  InterlockedExchange(&ctx_->reconfigurePending, 1);
  KeResetEvent(&ctx_->reconfigureDone);
  ctx_->frameSpoiled = 1;
  reinterpret_cast<Action>(table[7])(ctx_);
  EXPECT_EQ(ctx_->reconfigurePending, 0);
  EXPECT_EQ(KeReadStateEvent(&ctx_->reconfigureDone), 1);
  EXPECT_EQ(ctx_->frameSpoiled, 1);

  // 8: ResetReconfigure clears the mark and the spoiled frame, and wakes nobody.
  InterlockedExchange(&ctx_->reconfigurePending, 1);
  KeResetEvent(&ctx_->reconfigureDone);
  reinterpret_cast<Action>(table[8])(ctx_);
  EXPECT_EQ(ctx_->reconfigurePending, 0);
  EXPECT_EQ(ctx_->frameSpoiled, 0);
  EXPECT_EQ(KeReadStateEvent(&ctx_->reconfigureDone), 0);
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
  EXPECT_EQ(Object()->ReadFrame(frame.data(), ULONG(frame.size()), &good), STATUS_SUCCESS);
  EXPECT_FALSE(good) << "the frame read across a clock change is not good";
  EXPECT_EQ(Object()->ReadFrame(frame.data(), ULONG(frame.size()), &good), STATUS_SUCCESS);
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
    Object()->ReadFrame(frame.data(), ULONG(frame.size()), &good);
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
    Object()->ReadFrame(frame.data(), ULONG(frame.size()), &good);
    return good;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Object()->CancelRead();
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(reader.get());
}

}  // namespace

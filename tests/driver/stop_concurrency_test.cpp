// Device stop while other threads use the camera: the configuration that
// stop frees is never in use by a register exchange or a frame read.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "camera/sensor.h"
#include "tools/client/camera_system.h"
#include "usb/command_packets.h"

namespace {

using kscam::CameraSystem;

// Bulk transfers submitted between a stop's unconfigure request and the next
// start: each came from a thread still using the configuration stop freed.
int TransfersWhileStopped(host::UsbBus& bus) {
  int transfers = 0;
  bool stopped = false;
  for (const host::UsbLogEntry& entry : bus.Log()) {
    if (entry.urbFunction == URB_FUNCTION_SELECT_CONFIGURATION) stopped = entry.configurationCleared;
    if (stopped && entry.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) ++transfers;
  }
  return transfers;
}
using namespace std::chrono_literals;

// Register reads (a property request) and frame reads (the capture thread)
// run on their own threads across a stop and a restart. Under the thread
// sanitizer any use of the freed configuration shows as a race; here it shows
// as a crash or as a frame or register read that fails after the restart.
TEST(DeviceStop, WaitsForRegisterExchangesAndFrameReadsOnOtherThreads) {
  CameraSystem system;
  ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
  DeviceContext* ctx = system.Context();
  SetGeometry(ctx, 0, 0, 64, 32, 0);
  static_cast<CameraObject*>(ctx)->ApplySettings();
  const ULONG frameBytes = ctx->frameBytes;
  auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, frameBytes, PoolTag("Test")));

  std::atomic<bool> done{false};
  std::atomic<int> registerReads{0}, goodFrames{0};
  std::thread registers([&] {
    while (!done) {
      ULONG value = 0;
      if (ReadSensorRegister(ctx, 0x00, &value)) ++registerReads;
    }
  });
  std::thread frames([&] {
    while (!done) {
      BOOLEAN good = FALSE;
      static_cast<CameraObject*>(ctx)->ReadFrame(buffer, frameBytes, &good);
      if (good) ++goodFrames;
    }
  });

  for (int round = 0; round < 20; ++round) {
    std::this_thread::sleep_for(10ms);
    system.StopDevice();
    EXPECT_EQ(ctx->usb.interfaceInfo, nullptr);
    std::this_thread::sleep_for(5ms);
    ASSERT_EQ(system.StartDevice(), STATUS_SUCCESS);
    static_cast<CameraObject*>(ctx)->ApplySettings();
  }
  int readsBefore = registerReads, framesBefore = goodFrames;
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while ((registerReads == readsBefore || goodFrames == framesBefore) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  done = true;
  registers.join();
  frames.join();
  EXPECT_EQ(TransfersWhileStopped(system.Bus()), 0);
  EXPECT_GT(registerReads, readsBefore) << "register reads work again after the restart";
  EXPECT_GT(goodFrames, framesBefore) << "frame reads work again after the restart";
  ExFreePoolWithTag(buffer, PoolTag("Test"));
}

}  // namespace

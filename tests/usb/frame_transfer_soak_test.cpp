// Thousands of small frames read back to back while the bus injects chunk
// errors and short chunks, the camera goes silent now and then, and another
// thread keeps cancelling the read: every frame must end with a defined
// status, leave nothing queued or allocated, and the frames nobody disturbed
// must arrive whole.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "camera/sensor.h"
#include "platform/host_pool.h"
#include "tools/client/camera_system.h"
#include "usb/frame_transfer.h"

namespace {

using kscam::CameraSystem;

constexpr int kFrames = 2000;
constexpr uint8_t kFrameEndpointAddress = 0x82;
constexpr LONG kSilentLimitMs = 20;
constexpr LONG kNormalLimitMs = 3000;
// A whole soak takes seconds, and a few minutes under ThreadSanitizer; a
// soak still running after this is stuck.
constexpr auto kWatchdog = std::chrono::minutes(8);

std::map<std::string, uint64_t> LiveByTag() {
  std::map<std::string, uint64_t> live;
  for (const char* tag : {"Vdrv", "Vwrk", "!Irp", "!Mdl"}) live[tag] = host::PoolUsage(tag).liveAllocations;
  return live;
}

struct Tally {
  int success = 0;
  int timeouts = 0;
  int failed = 0;  // cancelled, or a chunk failed
  int silentFrames = 0;
  int framesWithFaults = 0;
  int framesWithCancels = 0;
  int verifiedWhole = 0;
  std::vector<std::string> problems;  // the first few, for the report
  int problemCount = 0;

  void Problem(int frame, const std::string& what) {
    if (problems.size() < 10) problems.push_back("frame " + std::to_string(frame) + ": " + what);
    ++problemCount;
  }
};

TEST(FrameTransferSoak, FramesWithInjectedFaultsSilencesAndConcurrentCancelsEndCleanly) {
  host::ClearPoolFaults();
  const auto initial = LiveByTag();
  {
    CameraSystem system;
    ASSERT_EQ(system.BringUp(), STATUS_SUCCESS);
    DeviceContext* ctx = system.Context();
    auto* camera = static_cast<CameraObject*>(ctx);
    // 64 x 100: a frame of 69632 bytes, one whole chunk and one of 4096.
    SetGeometry(ctx, 0, 0, 64, 100, 0);
    camera->ApplySettings();
    const ULONG size = ctx->frameBytes;
    ASSERT_EQ(ChunkCountFor(size), 2u);
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, size, kTagFrames));
    ASSERT_NE(buffer, nullptr);
    const std::vector<uint8_t> expected = system.Camera()->RenderFrame();
    ASSERT_EQ(expected.size(), size);
    const auto baseline = LiveByTag();

    // Chunk faults, decided by the bus once per IN transfer on its own thread.
    std::atomic<uint64_t> faultsInjected{0};
    auto faultRandom = std::make_shared<std::mt19937>(1234);
    system.Bus().SetInFault([faultRandom, &faultsInjected](uint8_t endpoint, uint64_t) {
      host::UsbBus::InFault fault;
      if (endpoint != kFrameEndpointAddress) return fault;
      uint32_t roll = (*faultRandom)() % 100;
      if (roll < 3) {
        fault.fail = true;
      } else if (roll < 6) {
        fault.shortTransfer = true;
        fault.shortBytes = (*faultRandom)() % kChunkBytes;
      } else {
        return fault;
      }
      faultsInjected.fetch_add(1);
      return fault;
    });

    // The thread that stops the stream. The reading thread asks it to cancel
    // at a random moment of a random frame: while the requests are queued,
    // while the read waits, as the frame completes, or for a silent frame
    // also after the time limit, while the read cancels by itself.
    std::mutex armLock;
    std::condition_variable armed;
    std::deque<std::chrono::microseconds> cancelDelays;  // guarded by armLock
    bool stopCancelling = false;                         // guarded by armLock
    std::atomic<uint64_t> cancelsBegun{0};
    std::atomic<uint64_t> cancelsEnded{0};
    std::thread canceller([&] {
      std::unique_lock<std::mutex> guard(armLock);
      for (;;) {
        armed.wait(guard, [&] { return stopCancelling || !cancelDelays.empty(); });
        if (cancelDelays.empty()) return;
        auto delay = cancelDelays.front();
        cancelDelays.pop_front();
        guard.unlock();
        std::this_thread::sleep_for(delay);
        cancelsBegun.fetch_add(1);
        camera->CancelRead();
        cancelsEnded.fetch_add(1);
        guard.lock();
      }
    });
    auto armCancel = [&](std::chrono::microseconds delay) {
      {
        std::lock_guard<std::mutex> guard(armLock);
        cancelDelays.push_back(delay);
      }
      armed.notify_one();
    };

    auto soak = std::async(std::launch::async, [&] {
      Tally tally;
      std::mt19937 random(4321);
      bool wasSilent = false;
      for (int frame = 0; frame < kFrames; ++frame) {
        bool silent = random() % 100 < 4;
        if (silent != wasSilent) {
          sim::CameraFaults faults;
          faults.silent = silent;
          system.Camera()->SetFaults(faults);
          InterlockedExchange(&transferTimeoutMs, silent ? kSilentLimitMs : kNormalLimitMs);
          wasSilent = silent;
        }
        tally.silentFrames += silent;
        if (random() % 100 < 8)
          armCancel(std::chrono::microseconds(random() % (silent ? 1000 * (kSilentLimitMs + 10) : 600)));
        uint64_t cancelsAtStart = cancelsBegun.load();
        bool cancelRunningAtStart = cancelsEnded.load() != cancelsAtStart;
        uint64_t faultsAtStart = faultsInjected.load();
        memset(buffer, 0, size);

        BOOLEAN good = FALSE;
        NTSTATUS status = camera->ReadFrame(buffer, size, &good);

        bool faulted = faultsInjected.load() != faultsAtStart;
        bool cancelled = cancelRunningAtStart || cancelsBegun.load() != cancelsAtStart;
        tally.framesWithFaults += faulted;
        tally.framesWithCancels += cancelled;
        if (status == STATUS_SUCCESS) {
          ++tally.success;
        } else if (status == STATUS_TIMEOUT) {
          ++tally.timeouts;
          if (good) tally.Problem(frame, "a frame that timed out was reported good");
        } else if ((status == STATUS_CANCELLED && cancelled) || (status == STATUS_DEVICE_DATA_ERROR && faulted)) {
          // A cancelled frame, or one with a failed chunk, is never good.
          ++tally.failed;
          if (good) tally.Problem(frame, "a cancelled or failed frame was reported good");
        } else {
          tally.Problem(frame, "status " + std::to_string(status));
        }
        if (size_t pending = system.Bus().PendingInTransfers())
          tally.Problem(frame, std::to_string(pending) + " requests still at the bus");
        KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ctx->usb.chunkLock);
        bool idle = ctx->usb.chunkRecords == nullptr && ctx->usb.frameMdl == nullptr &&
                    ctx->usb.chunksOutstanding == 0 && ctx->usb.cancelWalkers == 0;
        KeReleaseSpinLock(&ctx->usb.chunkLock, irql);
        if (!idle) tally.Problem(frame, "per-frame state left behind");
        if (!silent && !faulted && !cancelled) {
          if (status != STATUS_SUCCESS || !good) {
            tally.Problem(frame, "an undisturbed frame failed");
          } else if (memcmp(buffer, expected.data(), size) != 0) {
            tally.Problem(frame, "an undisturbed frame differs from what the camera sent");
          } else {
            ++tally.verifiedWhole;
          }
        }
        if (LiveByTag() != baseline) tally.Problem(frame, "allocations outlived the frame");
      }
      return tally;
    });

    if (soak.wait_for(kWatchdog) != std::future_status::ready) {
      // The reading thread is stuck inside the driver and still uses the
      // device; nothing can be torn down safely, so end the process here.
      fprintf(stderr, "FrameTransferSoak: no progress within the watchdog; a frame read hangs\n");
      fflush(stderr);
      abort();
    }
    Tally tally = soak.get();
    {
      std::lock_guard<std::mutex> guard(armLock);
      stopCancelling = true;
    }
    armed.notify_one();
    canceller.join();
    system.Bus().SetInFault(nullptr);
    system.Camera()->SetFaults(sim::CameraFaults());
    InterlockedExchange(&transferTimeoutMs, kNormalLimitMs);

    EXPECT_EQ(tally.problemCount, 0);
    for (const std::string& problem : tally.problems) ADD_FAILURE() << problem;
    printf("soak: %d frames, %d succeeded, %d timed out, %d failed, %d silent, %d with chunk faults, %d overlapped a "
           "cancel (%llu cancels), %d undisturbed and whole\n",
           kFrames, tally.success, tally.timeouts, tally.failed, tally.silentFrames, tally.framesWithFaults,
           tally.framesWithCancels, static_cast<unsigned long long>(cancelsEnded.load()), tally.verifiedWhole);
    // Every kind of disturbance actually happened, and so did clean frames.
    EXPECT_GT(tally.timeouts, 0);
    EXPECT_GT(tally.framesWithFaults, 0);
    EXPECT_GT(tally.framesWithCancels, 0);
    EXPECT_GT(tally.verifiedWhole, kFrames / 4);

    // After all that the camera still delivers a whole frame.
    memset(buffer, 0, size);
    BOOLEAN good = FALSE;
    EXPECT_EQ(camera->ReadFrame(buffer, size, &good), STATUS_SUCCESS);
    EXPECT_TRUE(good);
    EXPECT_EQ(memcmp(buffer, expected.data(), size), 0);
    EXPECT_EQ(LiveByTag(), baseline);
    ExFreePoolWithTag(buffer, kTagFrames);
  }
  EXPECT_EQ(LiveByTag(), initial);
}

}  // namespace

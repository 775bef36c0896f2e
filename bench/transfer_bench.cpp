// Frame transfer cost: the driver's own CPU time for one full 2560 x 1920 raw
// frame (queuing 94 chunk requests between halt and go, and waiting), the end
// to end frame rate through ReadFrame with the simulated bus unpaced, and the
// frame rate the bus allows when paced at a USB 2.0 bulk rate.
//
// The driver's CPU time is the calling thread's CPU time around ReadFrame:
// the request set-up, the command exchanges and the wait. The completions run
// on the bus thread together with the simulated camera's rendering and the
// bus's copying, which stand for hardware and are not the driver's cost.
//
// Run: transfer_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <time.h>

#include <memory>

#include "camera/sensor.h"
#include "tools/client/camera_system.h"
#include "usb/frame_transfer.h"

namespace {

double ThreadCpuSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

double WallSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

// A started camera at full sensor size, and a raw frame buffer for it.
struct FullFrameRig {
  explicit FullFrameRig(const sim::CameraOptions& options) : system(options) {
    if (!NT_SUCCESS(system.BringUp())) return;
    ctx = system.Context();
    SetGeometry(ctx, 0, 0, 2560, 1920, 0);
    static_cast<CameraObject*>(ctx)->ApplySettings();
    buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, ctx->frameBytes, kTagFrames));
  }
  ~FullFrameRig() {
    if (buffer != nullptr) ExFreePoolWithTag(buffer, kTagFrames);
  }
  bool Ready() const { return ctx != nullptr && buffer != nullptr; }

  kscam::CameraSystem system;
  DeviceContext* ctx = nullptr;
  PUCHAR buffer = nullptr;
};

// Reads full frames; the iteration time is the chosen clock's time per frame.
// Counters: driver CPU ms per frame, frames per second of wall time, and the
// ratio of the two rates (how many times the frame rate the driver's CPU
// time alone would allow exceeds the rate achieved).
void ReadFullFrames(benchmark::State& state, const sim::CameraOptions& options, bool reportCpuTime) {
  FullFrameRig rig(options);
  if (!rig.Ready()) {
    state.SkipWithError("camera did not start");
    return;
  }
  auto* camera = static_cast<CameraObject*>(rig.ctx);
  BOOLEAN good = FALSE;
  if (camera->ReadFrame(rig.buffer, rig.ctx->frameBytes, &good) != STATUS_SUCCESS || !good) {  // warm-up
    state.SkipWithError("warm-up frame failed");
    return;
  }
  double cpuTotal = 0;
  double wallTotal = 0;
  for (auto _ : state) {
    double wall0 = WallSeconds();
    double cpu0 = ThreadCpuSeconds();
    NTSTATUS status = camera->ReadFrame(rig.buffer, rig.ctx->frameBytes, &good);
    double cpu = ThreadCpuSeconds() - cpu0;
    double wall = WallSeconds() - wall0;
    if (status != STATUS_SUCCESS || !good) {
      state.SkipWithError("frame failed");
      return;
    }
    cpuTotal += cpu;
    wallTotal += wall;
    state.SetIterationTime(reportCpuTime ? cpu : wall);
  }
  double frames = double(state.iterations());
  state.counters["driver_cpu_ms"] = 1e3 * cpuTotal / frames;
  state.counters["fps"] = frames / wallTotal;
  state.counters["cpu_headroom_x"] = wallTotal / cpuTotal;
}

// The transfer alone, bus unpaced: the time reported is the driver's CPU time.
void BM_TransferDriverCpuFullFrame(benchmark::State& state) {
  ReadFullFrames(state, sim::CameraOptions(), true);
}
BENCHMARK(BM_TransferDriverCpuFullFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

// End to end through ReadFrame, bus unpaced: wall time per frame. This
// includes the simulated camera rendering the frame and the bus copying it.
void BM_TransferEndToEndUnpaced(benchmark::State& state) {
  ReadFullFrames(state, sim::CameraOptions(), false);
}
BENCHMARK(BM_TransferEndToEndUnpaced)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);

// The bus paced at the default 42 MB/s: the frame rate USB 2.0 allows at full
// size. cpu_headroom_x here is the frame rate the driver's CPU time would
// allow over this paced rate, measured in the same run.
void BM_TransferPacedFullFrame(benchmark::State& state) {
  sim::CameraOptions options;
  options.paced = true;
  ReadFullFrames(state, options, false);
}
BENCHMARK(BM_TransferPacedFullFrame)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();

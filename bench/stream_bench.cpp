// Full 2560 x 1920 frames end to end on the unpaced bus: the simulated
// camera and bus, the frame transfer, the conversion and the copy into the
// client's frame. Reports frames delivered per second (wall time) and the
// CPU time of the driver's own threads per frame (the capture thread, the
// processing pass, the band workers; per-thread clocks), leaving out the
// simulated camera and bus, which on hardware are the device and its DMA.
// The conversion alone on one thread is measured in the same run, so the
// ratio needs no second program.
#include <benchmark/benchmark.h>
#include <time.h>

#include <random>
#include <vector>

#include "imaging/frame_conversion.h"
#include "platform/host_threads.h"
#include "platform/kernel_exports.h"
#include "stream/capture_context.h"
#include "tests/support/capture_session.h"

namespace {

constexpr int kWidth = 2560;
constexpr int kHeight = 1920;

uint64_t ThreadCpuNs() {
  timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return uint64_t(now.tv_sec) * 1000000000ull + uint64_t(now.tv_nsec);
}

uint64_t DriverCpuNs() {
  return host::ThreadCpuNanoseconds(host::ThreadRole::System) +
         host::ThreadCpuNanoseconds(host::ThreadRole::Processing);
}

// The conversion of one frame on one thread, in CPU milliseconds: the
// median of a few runs.
double ConversionCpuMs() {
  ImagePipeline* pipeline = nullptr;
  CreateImagePipeline(&pipeline);
  SetPipelineGeometry(pipeline, kWidth, kHeight);
  AllocateWorkBuffer(pipeline);
  std::vector<uint8_t> output(size_t(kWidth) * kHeight * 4);
  pipeline->outputImage = output.data();
  std::vector<uint8_t> raw(size_t(kWidth) * kHeight);
  std::mt19937 random(42);
  for (uint8_t& b : raw) b = uint8_t(random());
  std::vector<double> runs;
  for (int i = 0; i < 9; ++i) {
    uint64_t start = ThreadCpuNs();
    ConvertFrame(pipeline, raw.data(), uint32_t(raw.size()), 0, kWidth);
    runs.push_back(double(ThreadCpuNs() - start) / 1e6);
  }
  FreeImagePipeline(pipeline);
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
}

// loaded 1: the Windows build of the driver (build/windows-kernel/kscam.sys)
// loaded into the platform instead of the host build, to compare their code.
void Stream(benchmark::State& state) {
  const ULONG bands = ULONG(state.range(0));
  const bool loaded = state.range(1) != 0;
  double conversionMs = ConversionCpuMs();
  sim::CameraOptions options;
  options.scene = "chart";
  kscam::CameraSystem system(options);
  std::string error;
  if (loaded && !system.UseDriverImage(KSCAM_SYS_IMAGE, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  if (system.BringUp() != STATUS_SUCCESS) {
    state.SkipWithError("the camera did not come up");
    return;
  }
  test::ExposeAtUnity(system.Context());
  system.Context()->capture->bandLimit = bands;
  test::CaptureSession session(system);
  session.OpenFilter();
  session.CreatePin();
  session.SetKeepData(false);
  if (session.RunWithFrames(3) != STATUS_SUCCESS) {
    state.SkipWithError("the pin did not run");
    return;
  }
  test::DeliveredFrame frame;
  session.NextFrame(&frame);  // the first frame pays for the start
  size_t firstCompleted = session.Completed();
  uint64_t driverStart = DriverCpuNs();
  for (auto _ : state) {
    if (!session.NextFrame(&frame)) {
      state.SkipWithError("no frame within the time-out");
      break;
    }
  }
  double frames = double(session.Completed() - firstCompleted);
  double driverMs = double(DriverCpuNs() - driverStart) / 1e6;
  session.SetState(KSSTATE_STOP);
  state.counters["fps"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
  state.counters["driver_cpu_ms_per_frame"] = driverMs / frames;
  state.counters["conversion_cpu_ms"] = conversionMs;
  state.counters["driver_to_conversion"] = driverMs / frames / conversionMs;
}

BENCHMARK(Stream)
    ->ArgNames({"bands", "loaded"})
    ->Args({1, 0})
    ->Args({2, 0})
    ->Args({2, 1})
    ->Iterations(240)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

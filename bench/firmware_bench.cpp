// Firmware download at start: the loader and the camera firmware into a fresh
// simulated bridge, with the bus unpaced (the driver's and the stand-in's own
// cost) and paced (each control request takes its high-speed bus time).
//
// Run: firmware_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include "platform/usb_bus.h"
#include "sim/simulated_camera.h"
#include "usb/firmware_download.h"

namespace {

// Hold twice, one load per record, release twice.
uint64_t Requests(const FirmwareRecord* image) {
  uint64_t n = 4;
  while (image->type == kFirmwareDataRecord) ++n, ++image;
  return n;
}

void BM_DownloadBothImages(benchmark::State& state) {
  sim::CameraOptions options;
  options.firmwareRunning = false;
  options.paced = state.range(0) != 0;
  uint64_t requests = 0;
  for (auto _ : state) {
    state.PauseTiming();
    sim::SimulatedCamera camera(options);
    host::UsbBus bus;
    bus.EnableLog(false);
    bus.Plug(&camera);
    UsbDevice usb{};
    usb.lowerDeviceObject = bus.PhysicalDeviceObject();
    state.ResumeTiming();
    DownloadFirmware(&usb, kLoaderImage);
    DownloadFirmware(&usb, kCameraFirmwareImage);
    state.PauseTiming();
    if (!camera.FirmwareRunning()) state.SkipWithError("the camera firmware does not run");
    requests += Requests(kLoaderImage) + Requests(kCameraFirmwareImage);
    bus.Unplug();
    state.ResumeTiming();
  }
  state.counters["requests"] = benchmark::Counter(double(requests), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_DownloadBothImages)->Arg(0)->Arg(1)->ArgNames({"paced"})->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

// Cost of the simulated camera producing one raw frame on go: filling the
// frame, reading the window out of the cached scene through the response.
#include <benchmark/benchmark.h>

#include <array>

#include "sim/simulated_camera.h"

namespace {

void Command(sim::SimulatedCamera& camera, std::initializer_list<uint8_t> bytes) {
  std::array<uint8_t, 64> packet{};
  std::copy(bytes.begin(), bytes.end(), packet.begin());
  camera.BulkOut(sim::kCommandEndpoint, packet.data(), 64);
}

// Arguments: skip code (0, 1, 3, 7), mirrors on or off, moving element on or off.
void BM_RenderFrameOnGo(benchmark::State& state) {
  sim::CameraOptions options;
  options.movingElement = state.range(2) != 0;
  sim::SimulatedCamera camera(options);
  uint8_t skip = uint8_t(state.range(0));
  Command(camera, {0x04, 0x22, 0, skip});
  Command(camera, {0x04, 0x23, 0, skip});
  Command(camera, {0x04, 0x20, uint8_t(state.range(1) ? 0xC0 : 0x00), 0x40});
  Command(camera, {0x03});  // renders the scene once, outside the timing
  for (auto _ : state) {
    Command(camera, {0x02});
    Command(camera, {0x03});
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * camera.FrameSize());
  state.counters["frame_bytes"] = camera.FrameSize();
}

BENCHMARK(BM_RenderFrameOnGo)
    ->ArgNames({"skip", "mirror", "moving"})
    ->Args({0, 0, 0})
    ->Args({0, 1, 0})
    ->Args({0, 0, 1})
    ->Args({1, 0, 0})
    ->Args({7, 0, 0})
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

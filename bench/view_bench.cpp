// The live view's picture path: a full-sensor frame shrunk for display and
// JPEG-encoded. The display asks for 15 pictures a second from one encoder
// thread, so each picture has about 66 ms of one core.
#include <benchmark/benchmark.h>

#include "tools/view/display_image.h"

namespace {

// A full-sensor frame with a gradient, so the encoder has detail to work on.
kscam::Frame SensorFrame() {
  kscam::Frame frame;
  frame.width = 2560;
  frame.height = 1920;
  frame.stride = ULONG(frame.width) * 4;
  frame.topDown = false;
  frame.pixels.resize(size_t(frame.stride) * frame.height);
  for (size_t i = 0; i < frame.pixels.size(); ++i) frame.pixels[i] = uint8_t(i * 7 + i / frame.stride);
  return frame;
}

void BM_ShrinkFullFrame(benchmark::State& state) {
  kscam::Frame frame = SensorFrame();
  kscam::view::DisplayImage image;
  for (auto _ : state) benchmark::DoNotOptimize(kscam::view::ShrinkForDisplay(frame, 640, &image));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ShrinkFullFrame)->Unit(benchmark::kMillisecond);

void BM_EncodeDisplayPicture(benchmark::State& state) {
  kscam::Frame frame = SensorFrame();
  kscam::view::DisplayImage image;
  kscam::view::ShrinkForDisplay(frame, 640, &image);
  kscam::view::JpegEncoder encoder;
  std::string jpeg, error;
  for (auto _ : state) benchmark::DoNotOptimize(encoder.Encode(image, 80, &jpeg, &error));
  state.SetItemsProcessed(state.iterations());
  state.counters["bytes"] = double(jpeg.size());
}
BENCHMARK(BM_EncodeDisplayPicture)->Unit(benchmark::kMillisecond);

void BM_FullFrameToPng(benchmark::State& state) {
  kscam::Frame frame = SensorFrame();
  std::string png, error;
  for (auto _ : state) benchmark::DoNotOptimize(kscam::view::FrameToPng(frame, &png, &error));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FullFrameToPng)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

// One full sensor frame (2560 x 1920) through the conversion with the default
// colour matrix: work-buffer fill, snapshot and colour kernel, for each kernel
// set, on one thread and in row bands on as many threads, next to the scalar
// reference of the tests. CPU time is the whole process's, so that the banded
// runs count their worker threads; Time is wall time.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "imaging/frame_conversion.h"
#include "tests/imaging/reference_pipeline.h"
#include "tests/imaging/thread_band_runner.h"

namespace {

constexpr int kWidth = 2560;
constexpr int kHeight = 1920;
constexpr uint32_t kLineOffset = 0;
constexpr uint32_t kRowPitch = kWidth;

const std::vector<uint8_t>& RawFrame() {
  static const std::vector<uint8_t> raw = [] {
    std::vector<uint8_t> bytes(size_t(kRowPitch) * kHeight);
    std::mt19937 random(42);
    for (uint8_t& b : bytes) b = uint8_t(random());
    return bytes;
  }();
  return raw;
}

void ReportRate(benchmark::State& state) {
  state.counters["MP/s"] =
      benchmark::Counter(kWidth * kHeight / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

// bands 1: the conversion on the benchmark's thread, without a runner.
void ConvertWith(benchmark::State& state, const DemosaicKernels* kernels, uint32_t bands) {
  if (kernels == &kDemosaicAvx2 && !CpuHasAvx2()) {
    state.SkipWithError("no AVX2 on this processor");
    return;
  }
  ImagePipeline* pipeline = nullptr;
  CreateImagePipeline(&pipeline);
  SetPipelineGeometry(pipeline, kWidth, kHeight);
  AllocateWorkBuffer(pipeline);
  // The capture stream's output image comes from the pool, which page-aligns
  // allocations this large; align it the same way here.
  std::vector<uint8_t> storage(size_t(kWidth) * kHeight * 4 + 4096);
  uint8_t* output = storage.data() + (4096 - reinterpret_cast<uintptr_t>(storage.data()) % 4096);
  pipeline->outputImage = output;
  const std::vector<uint8_t>& raw = RawFrame();
  imaging_test::ThreadBandRunner runner(bands);
  for (auto _ : state) {
    ConvertFrameWith(*kernels, pipeline, raw.data(), uint32_t(raw.size()), kLineOffset, kRowPitch,
                     bands > 1 ? &runner : nullptr, bands);
    benchmark::DoNotOptimize(output);
  }
  ReportRate(state);
  FreeImagePipeline(pipeline);
}

void Scalar(benchmark::State& state) {
  const std::vector<uint8_t>& raw = RawFrame();
  reference::Frame frame = {raw.data(), kWidth, kHeight, kLineOffset, kRowPitch};
  ImagePipeline* pipeline = nullptr;
  CreateImagePipeline(&pipeline);
  reference::Settings settings;
  memcpy(settings.matrix, pipeline->fixedMatrix, sizeof(settings.matrix));
  FreeImagePipeline(pipeline);
  for (auto _ : state) {
    std::vector<uint8_t> image = reference::Convert(frame, settings);
    benchmark::DoNotOptimize(image.data());
  }
  ReportRate(state);
}

void Conversion(benchmark::internal::Benchmark* b) {
  b->Unit(benchmark::kMillisecond)
      ->MeasureProcessCPUTime()
      ->UseRealTime()
      ->Repetitions(5)
      ->ReportAggregatesOnly(true);
}

BENCHMARK_CAPTURE(ConvertWith, Sse2, &kDemosaicSse2, 1)->Apply(Conversion);
BENCHMARK_CAPTURE(ConvertWith, Sse2Bands2, &kDemosaicSse2, 2)->Apply(Conversion);
BENCHMARK_CAPTURE(ConvertWith, Sse2Bands4, &kDemosaicSse2, 4)->Apply(Conversion);
BENCHMARK_CAPTURE(ConvertWith, Avx2, &kDemosaicAvx2, 1)->Apply(Conversion);
BENCHMARK_CAPTURE(ConvertWith, Avx2Bands2, &kDemosaicAvx2, 2)->Apply(Conversion);
BENCHMARK_CAPTURE(ConvertWith, Avx2Bands4, &kDemosaicAvx2, 4)->Apply(Conversion);
BENCHMARK(Scalar)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();

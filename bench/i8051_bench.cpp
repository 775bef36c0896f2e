// The bridge's 8051: how many instructions per second the core executes (the
// real bridge manages about 12 million), and how long a register read takes
// through the camera firmware, on the processor alone and through the
// simulated camera's USB side with each command loop.
//
// Run: i8051_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <vector>

#include "sim/bridge_processor.h"
#include "sim/firmware_command_loop.h"
#include "sim/i8051/core.h"
#include "sim/simulated_camera.h"

namespace {

// A loop of the kinds of instruction firmware spends its time on: register
// and indirect moves, arithmetic, external memory through DPTR, a counted
// branch. 11 instructions per pass.
const uint8_t kLoop[] = {
    0x90, 0x10, 0x00,  // MOV DPTR,#1000h
    0x79, 0x40,        // MOV R1,#40h
    0x7A, 0x00,        // loop: MOV R2,#0 (256 inner passes)
    0xE8,              // inner: MOV A,R0
    0x27,              // ADD A,@R1
    0xF0,              // MOVX @DPTR,A
    0xA3,              // INC DPTR
    0xE0,              // MOVX A,@DPTR
    0xC4,              // SWAP A
    0x44, 0x01,        // ORL A,#1
    0xF8,              // MOV R0,A
    0x08,              // INC R0
    0xB4, 0x00, 0x00,  // CJNE A,#0,+0
    0xDA, 0xF1,        // DJNZ R2,inner
    0x80, 0xED,        // SJMP loop
};

void BM_CoreInstructions(benchmark::State& state) {
  std::vector<uint8_t> code(sim::i8051::Core::kSpaceBytes), external(sim::i8051::Core::kSpaceBytes);
  std::copy(std::begin(kLoop), std::end(kLoop), code.begin());
  sim::i8051::Core core(code.data(), external.data(), nullptr);
  for (auto _ : state) benchmark::DoNotOptimize(core.Run(1'000'000));
  if (core.Stopped() != sim::i8051::Core::Stop::None) state.SkipWithError("the loop stopped");
  state.SetItemsProcessed(int64_t(core.Executed()));
}
BENCHMARK(BM_CoreInstructions)->Unit(benchmark::kMillisecond);

void BM_RegisterReadOnProcessor(benchmark::State& state) {
  std::vector<uint8_t> firmware = sim::BuiltCameraFirmware();
  if (firmware.empty()) {
    state.SkipWithError("sdcc is not installed: no camera firmware");
    return;
  }
  sim::Sensor sensor(sim::SensorChip::Rev1800);
  sim::BridgeProcessor processor(sensor);
  std::copy(firmware.begin(), firmware.end(), processor.Memory());
  processor.SetReset(false);
  sim::i8051::BridgePacket command{0x0C, 0x00}, reply;
  uint32_t length = 0;
  uint64_t before = processor.Instructions();
  for (auto _ : state) {
    processor.Command(command.data(), 64);
    while (processor.TakeReply(reply, length)) benchmark::DoNotOptimize(reply);
  }
  state.counters["instructions"] =
      benchmark::Counter(double(processor.Instructions() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_RegisterReadOnProcessor)->Unit(benchmark::kMicrosecond);

// One register read as the driver does it: the command packet out, two
// replies in, through the camera's USB side.
void BM_RegisterReadThroughCamera(benchmark::State& state) {
  sim::CameraOptions options;
  options.bridge = state.range(0) ? sim::BridgeModel::Firmware : sim::BridgeModel::CommandModel;
  if (options.bridge == sim::BridgeModel::Firmware && sim::BuiltCameraFirmware().empty()) {
    state.SkipWithError("sdcc is not installed: no camera firmware");
    return;
  }
  sim::SimulatedCamera camera(options);
  uint8_t command[64] = {0x0C, 0x00}, reply[64];
  for (auto _ : state) {
    camera.BulkOut(sim::kCommandEndpoint, command, 64);
    camera.BulkIn(sim::kReplyEndpoint, reply, 64);
    camera.BulkIn(sim::kReplyEndpoint, reply, 64);
    benchmark::DoNotOptimize(reply);
  }
}
BENCHMARK(BM_RegisterReadThroughCamera)->Arg(0)->Arg(1)->ArgNames({"on8051"})->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

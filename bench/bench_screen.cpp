// Composition runs 60 times a second on the main thread and once per video
// frame: these measure the busiest screens.

#include <benchmark/benchmark.h>

#include "screen/compose.h"

namespace {

using namespace quimbel;
using namespace quimbel::ChordScreen;

void composeKeyboardWhileRecording(benchmark::State& state) {
  Input input;
  input.shown = Shown{{48, 52, 55, 59, 62}, "CM9", 0xFF5526};
  input.state = PadState::rec;
  input.recAt = 0;
  double now = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(compose(input, now));
    now += 1000.0 / 60.0;
    if (now > 800) now = 0;
  }
}
BENCHMARK(composeKeyboardWhileRecording);

void composeSheet(benchmark::State& state) {
  Input input;
  input.state = PadState::done;
  for (int i = 0; i < 64; ++i) {
    input.sheet.push_back(Shown{{60}, i % 2 ? "A#dim" : "AbM7", 0xF9ECCF});
  }
  for (auto _ : state) benchmark::DoNotOptimize(compose(input, 0));
}
BENCHMARK(composeSheet);

void composeLegend(benchmark::State& state) {
  Input input;
  input.legend = Legend{true, false, true};
  for (auto _ : state) benchmark::DoNotOptimize(compose(input, 0));
}
BENCHMARK(composeLegend);

}  // namespace

BENCHMARK_MAIN();

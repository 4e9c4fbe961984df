// The pad model's own share of the main thread: its CPU time per second of
// playing, idle, with the 120 Hz ticker running, and while a take loops.
// Audio is rendered between ticks but not counted. Prints Google Benchmark
// results for quantize and the screen snapshot, then "SUMMARY <name> <value>
// <unit>" lines for scripts/bench.

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "audio/core/render_core.h"
#include "diagnostics/manual_main_thread.h"
#include "audio/on_demand_backend.h"
#include "model/pad_model.h"
#include "model/quantize.h"

namespace {

using namespace quimbel;

class NoSequencer final : public MidiSequencer {
 public:
  int open(Handlers) override { return 0; }
  std::vector<std::uint32_t> sources() override { return {}; }
  void connect(std::uint32_t) override {}
};

void installTones(RenderCore* core, double rate) {
  const int frames = static_cast<int>(rate * 3);
  std::vector<float> tone(static_cast<std::size_t>(frames));
  for (int i = 0; i < frames; ++i) tone[i] = 0.01f * std::sin(0.05f * static_cast<float>(i));
  for (std::uint32_t note = 24; note <= 108; note += 12) {
    freeSample(installSample(core, note, makeSample(tone.data(), nullptr, frames)));
  }
}

double threadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// What an empty task measures: the part of two back-to-back reads of the
// thread's CPU clock that falls between them, taken out of every timed task.
double emptyTaskSeconds() {
  constexpr int kPairs = 20000;
  double sum = 0.0;
  for (int i = 0; i < kPairs; ++i) {
    const double before = threadCpuSeconds();
    sum += threadCpuSeconds() - before;
  }
  return sum / kPairs;
}

// Times every task the model runs on the main thread (ticks, delayed and
// posted work); the virtual-time scheduler's own bookkeeping is not counted.
class TimedMainThread final : public MainThread {
 public:
  explicit TimedMainThread(ManualMainThread& inner) : inner_(inner) {}
  void post(std::function<void()> fn) override { inner_.post(timed(std::move(fn))); }
  std::unique_ptr<TaskHandle> after(double delaySeconds, std::function<void()> fn) override {
    return inner_.after(delaySeconds, timed(std::move(fn)));
  }
  std::unique_ptr<TaskHandle> every(double intervalSeconds, std::function<void()> fn) override {
    return inner_.every(intervalSeconds, timed(std::move(fn)));
  }
  double cpuSeconds = 0.0;
  long tasks = 0;

 private:
  std::function<void()> timed(std::function<void()> fn) {
    return [this, fn = std::move(fn)] {
      const double before = threadCpuSeconds();
      fn();
      cpuSeconds += threadCpuSeconds() - before;
      ++tasks;
    };
  }
  ManualMainThread& inner_;
};

struct Bench {
  ManualClock clock{1000.0};
  ManualMainThread main{clock};
  TimedMainThread timed{main};
  OnDemandBackend backend;
  std::unique_ptr<PadModel> model;

  Bench() {
    model = std::make_unique<PadModel>(PadModel::Services{
        clock, timed, backend, installTones, std::make_unique<MemorySettingsStore>(),
        std::make_unique<NoSequencer>(), true, false});
    model->engine().ensureRunning();
  }

  // Model CPU in microseconds per second of playing, over `seconds`.
  double modelCpuPerSecond(double seconds, double emptyTask) {
    const int buffers = static_cast<int>(seconds * 48000 / OnDemandBackend::BufferFrames);
    timed.cpuSeconds = 0.0;
    timed.tasks = 0;
    for (int i = 0; i < buffers; ++i) {
      backend.pull(OnDemandBackend::BufferFrames);
      backend.clearOutput();
      main.advance(OnDemandBackend::BufferFrames / 48.0);
    }
    const double cpu = std::max(timed.cpuSeconds - timed.tasks * emptyTask, 0.0);
    return cpu / seconds * 1e6;
  }

  void loopATake() {
    std::vector<ChordHit> hits;
    const int pads[] = {0, 4, 5, 3, 0, 4, 3, 4};
    for (int i = 0; i < 8; ++i) {
      hits.push_back(model->hitFor(pads[i]));
      hits.back().t = 0.5 * i;
    }
    model->finishRecording(hits, 4.0);
    model->togglePlay();
  }
};

void quantizeSixtyFourHits(benchmark::State& state) {
  std::vector<ChordHit> hits(64);
  for (int i = 0; i < 64; ++i) hits[i].t = 0.13 * i;
  for (auto _ : state) benchmark::DoNotOptimize(quantizeTake(hits, 120, true, 8.4));
}
BENCHMARK(quantizeSixtyFourHits);

void screenSnapshotOfATake(benchmark::State& state) {
  Bench bench;
  bench.loopATake();
  for (auto _ : state) benchmark::DoNotOptimize(bench.model->screenInput(bench.clock.nowMs()));
}
BENCHMARK(screenSnapshotOfATake);

void summary() {
  constexpr double kSeconds = 20.0;
  const double empty = emptyTaskSeconds();
  {
    Bench idle;
    idle.model->press(1);
    idle.modelCpuPerSecond(3.0, empty);  // the ticker stops after 2 idle seconds
    std::printf("SUMMARY model_cpu_idle %.1f us/s\n", idle.modelCpuPerSecond(kSeconds, empty));
  }
  {
    Bench ticking;
    ticking.model->holdPad(2);  // a held pad keeps the ticker running
    ticking.model->press(2);
    std::printf("SUMMARY model_cpu_ticker %.1f us/s\n", ticking.modelCpuPerSecond(kSeconds, empty));
  }
  {
    Bench looping;
    looping.loopATake();
    std::printf("SUMMARY model_cpu_loop %.1f us/s\n", looping.modelCpuPerSecond(kSeconds, empty));
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  summary();
  return 0;
}

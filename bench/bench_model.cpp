// The pad model's own share of the main thread: its CPU time per second of
// playing, idle, with the 120 Hz ticker running, and while a take loops.
// Audio is rendered between ticks but not counted. For a 512-chord take it
// also compares the loop's per-tick cost with the whole-pass burst loop
// playback used to send. Prints Google Benchmark results for quantize, the
// screen snapshot and that burst, then "SUMMARY <name> <value> <unit>" lines
// for scripts/bench.

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "audio/core/render_core.h"
#include "audio/on_demand_backend.h"
#include "base/manual_main_thread.h"
#include "model/pad_model.h"
#include "model/quantize.h"
#include "music/voicing.h"

namespace {

using namespace quimbel;

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
  void post(std::function<void()> fn) override { inner_.post(timed(std::move(fn), false)); }
  std::unique_ptr<TaskHandle> after(double delaySeconds, std::function<void()> fn) override {
    return inner_.after(delaySeconds, timed(std::move(fn), false));
  }
  std::unique_ptr<TaskHandle> every(double intervalSeconds, std::function<void()> fn) override {
    return inner_.every(intervalSeconds, timed(std::move(fn), true));
  }
  double cpuSeconds = 0.0;
  long tasks = 0;
  // The repeating tasks alone: the model's ticks.
  double tickCpuSeconds = 0.0;
  double slowestTickSeconds = 0.0;
  long ticks = 0;

  void reset() {
    cpuSeconds = tickCpuSeconds = slowestTickSeconds = 0.0;
    tasks = ticks = 0;
  }

 private:
  std::function<void()> timed(std::function<void()> fn, bool tick) {
    return [this, fn = std::move(fn), tick] {
      const double before = threadCpuSeconds();
      fn();
      const double spent = threadCpuSeconds() - before;
      cpuSeconds += spent;
      ++tasks;
      if (tick) {
        tickCpuSeconds += spent;
        slowestTickSeconds = std::max(slowestTickSeconds, spent);
        ++ticks;
      }
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
        std::make_unique<NoMidiSequencer>(), true, false});
    model->engine().ensureRunning();
  }

  // Model CPU in microseconds per second of playing, over `seconds`.
  double modelCpuPerSecond(double seconds, double emptyTask) {
    const int buffers = static_cast<int>(seconds * 48000 / OnDemandBackend::BufferFrames);
    timed.reset();
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

  // A song sketched as one take: 64 bars of eighth-note ninth chords (five
  // notes each), pads in turn, at 120 bpm: 512 hits, a pass of 128 s.
  void recordLongTake() {
    model->toggleBass();
    model->setModifier(PadModel::Modifier::shiftKey, true);
    model->updateModifiers(false);
    std::vector<ChordHit> hits;
    for (int i = 0; i < 512; ++i) {
      hits.push_back(model->hitFor(i % PadModel::kPads));
      hits.back().t = 0.25 * i;
    }
    model->setModifier(PadModel::Modifier::shiftKey, false);
    model->updateModifiers(false);
    model->finishRecording(hits, 128.0);
  }
};

// How loop playback used to send a pass: every hit of the take at once, a
// release-all and one command per note, when the pass came within a second
// of the clock. Kept to measure against; the queue takes 1024 of them.
void sendWholePass(PianoEngine& engine, const std::vector<ChordHit>& events,
                   std::int64_t passStart) {
  const double rate = engine.rate();
  for (std::size_t i = 0; i < events.size(); ++i) {
    const ChordHit& hit = events[i];
    const auto start = passStart + static_cast<std::int64_t>(std::round(rate * hit.t));
    engine.scheduleReleaseAll(start);
    const Voicing& voicing = hit.voicing;
    const float gain = voicing.gain * chordScale(voicing.notes.size());
    for (std::size_t j = 0; j < voicing.notes.size(); ++j) {
      const std::int32_t tag = j == 0 ? LoopTagBase + static_cast<std::int32_t>(i) : NoTag;
      engine.scheduleNote(static_cast<std::uint32_t>(voicing.notes[j]),
                          start + static_cast<std::int64_t>(std::round(rate * voicing.offsets[j])),
                          tag, hit.velocity, gain, noteLength(voicing, j, hit.length));
    }
  }
}

// Lets the core take in and forget everything sent, outside the timing.
void emptyTheCore(Bench& bench) {
  bench.backend.pull(OnDemandBackend::BufferFrames);
  bench.model->engine().clearScheduled();
  bench.backend.pull(OnDemandBackend::BufferFrames);
  bench.backend.clearOutput();
}

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

void screenSnapshotOf512HitTake(benchmark::State& state) {
  Bench bench;
  bench.recordLongTake();
  for (auto _ : state) benchmark::DoNotOptimize(bench.model->screenInput(bench.clock.nowMs()));
}
BENCHMARK(screenSnapshotOf512HitTake);

void wholePassBurstOf512Hits(benchmark::State& state) {
  Bench bench;
  bench.recordLongTake();
  const std::vector<ChordHit> events = bench.model->events();
  for (auto _ : state) {
    sendWholePass(bench.model->engine(), events, bench.model->engine().now() + 48000);
    state.PauseTiming();
    emptyTheCore(bench);
    state.ResumeTiming();
  }
}
BENCHMARK(wholePassBurstOf512Hits);

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
  {
    // The loop hands the core each chord as it comes within a second.
    Bench looping;
    looping.recordLongTake();
    looping.model->togglePlay();
    const double perSecond = looping.modelCpuPerSecond(kSeconds, empty);
    const TimedMainThread& t = looping.timed;
    const double perTick = std::max(t.tickCpuSeconds / t.ticks - empty, 0.0) * 1e6;
    std::printf("SUMMARY model_cpu_loop_512 %.1f us/s\n", perSecond);
    std::printf("SUMMARY loop_tick_512 %.2f us\n", perTick);
    std::printf("SUMMARY loop_tick_max_512 %.2f us\n",
                std::max(t.slowestTickSeconds - empty, 0.0) * 1e6);
  }
  {
    // The whole-pass burst the loop used to send once a pass, in one tick.
    Bench burst;
    burst.recordLongTake();
    const std::vector<ChordHit> events = burst.model->events();
    PianoEngine& engine = burst.model->engine();
    constexpr int kBursts = 50;
    double spent = 0.0;
    int lost = 0;
    for (int i = 0; i < kBursts; ++i) {
      const int room = engine.commandRoom();
      const double before = threadCpuSeconds();
      sendWholePass(engine, events, engine.now() + 48000);
      spent += threadCpuSeconds() - before - empty;
      lost = 512 * 6 - (room - engine.commandRoom());
      emptyTheCore(burst);
    }
    std::printf("SUMMARY loop_burst_512 %.2f us\n", spent / kBursts * 1e6);
    std::printf("SUMMARY loop_burst_512_lost %d commands\n", lost);
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

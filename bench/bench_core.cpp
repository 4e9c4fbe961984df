// Render-core load figures: 10 s at 48 kHz in 128-frame calls under three
// loads (silence, one 4-note chord, 64 voices with the reverb busy). Prints
// the real-time factor and the slowest call against its 2.67 ms budget,
// then "SUMMARY <name> <value> <unit>" lines for scripts/bench.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "audio/core/render_core.h"

namespace {

using namespace quimbel;

constexpr double Rate = 48000.0;
constexpr int CallFrames = 128;
constexpr int Seconds = 10;

enum class Load { Silence, Chord, Full };

CoreSample* tone(double frequency, int frames) {
  std::vector<float> l(static_cast<std::size_t>(frames)), r(static_cast<std::size_t>(frames));
  for (int i = 0; i < frames; ++i) {
    const double t = i / Rate;
    l[static_cast<std::size_t>(i)] =
        static_cast<float>(0.4 * std::sin(2 * M_PI * frequency * t) * std::exp(-0.5 * t));
    r[static_cast<std::size_t>(i)] =
        static_cast<float>(0.4 * std::sin(2 * M_PI * frequency * 1.003 * t) * std::exp(-0.5 * t));
  }
  return makeSample(l.data(), r.data(), frames);
}

RenderCore* loadedCore() {
  RenderCore* core = createCore(Rate);
  // A sample every fourth note, as a sparse piano set would have.
  for (int note = 21; note <= 108; note += 4) {
    freeSample(installSample(core, static_cast<std::uint32_t>(note),
                             tone(440.0 * std::pow(2.0, (note - 69) / 12.0), 3 * 48000)));
  }
  return core;
}

// Sends the load's commands due at this call.
void feed(RenderCore* core, Load load, int call) {
  const int callsPerHalfSecond = 24000 / CallFrames;
  if (load == Load::Chord && call % (4 * callsPerHalfSecond) == 0) {
    releaseAll(core);
    for (int note : {60, 64, 67, 71})
      noteOn(core, static_cast<std::uint32_t>(note), NoTag, 100, 0.6f, 0.0, 1.9);
  }
  if (load == Load::Full && call % callsPerHalfSecond == 0) {
    // 64 fresh notes every half second: every voice sounds, older ones
    // are stolen, and the mix keeps the reverb busy.
    for (int v = 0; v < 64; ++v) {
      noteOn(core, static_cast<std::uint32_t>(30 + (v * 7 + call) % 70), NoTag, 100, 0.1f,
             v * 0.002, 1.9);
    }
  }
}

double cpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct Figures {
  double realTimeFactor;
  double worstCallPct;
};

Figures measure(Load load) {
  RenderCore* core = loadedCore();
  std::vector<float> l(CallFrames), r(CallFrames);
  const int calls = Seconds * static_cast<int>(Rate) / CallFrames;
  // One warm-up second so that caches and the reverb are in their steady state.
  for (int call = 0; call < 375; ++call) {
    feed(core, load, call);
    render(core, l.data(), r.data(), CallFrames);
  }
  double worst = 0.0;
  const double start = cpuSeconds();
  for (int call = 0; call < calls; ++call) {
    feed(core, load, call);
    // Thread CPU time, so that a preemption by another process on a busy
    // machine does not count against the call.
    const double t0 = cpuSeconds();
    render(core, l.data(), r.data(), CallFrames);
    worst = std::max(worst, cpuSeconds() - t0);
  }
  const double cpu = cpuSeconds() - start;
  destroyCore(core);
  const double budget = CallFrames / Rate;
  return {Seconds / cpu, 100.0 * worst / budget};
}

void BM_RenderCall(benchmark::State& state) {
  const auto load = static_cast<Load>(state.range(0));
  RenderCore* core = loadedCore();
  std::vector<float> l(CallFrames), r(CallFrames);
  int call = 0;
  for (auto _ : state) {
    feed(core, load, call++);
    render(core, l.data(), r.data(), CallFrames);
    benchmark::DoNotOptimize(l.data());
  }
  destroyCore(core);
}
BENCHMARK(BM_RenderCall)->Arg(0)->Arg(1)->Arg(2)->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  const struct {
    Load load;
    const char* name;
  } loads[] = {{Load::Silence, "silence"}, {Load::Chord, "chord"}, {Load::Full, "full"}};
  for (const auto& entry : loads) {
    const Figures f = measure(entry.load);
    std::printf("core %-8s %8.1fx real time, slowest call %.2f%% of its budget\n", entry.name,
                f.realTimeFactor, f.worstCallPct);
    std::printf("SUMMARY core_rtf_%s %.1f x\n", entry.name, f.realTimeFactor);
    if (entry.load == Load::Full)
      std::printf("SUMMARY core_worst_call_pct_full %.2f %%\n", f.worstCallPct);
  }
  return 0;
}

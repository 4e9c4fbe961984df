// The instrument plugin's cost, measured in a small liblilv host (the test
// host of tests/plugin): its real-time factor at 48 kHz in 128-frame blocks
// with all 64 voices busy, beside the render core's own under the very same
// chords, timed in turns in the same run; and its instantiate time with a
// filled sample cache (a host loading a project). Prints the figures, then
// "SUMMARY <name> <value> <unit>" lines for scripts/bench.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "audio/core/midi_chord_map.h"
#include "audio/core/render_core.h"
#include "audio/sample_bank.h"
#include "music/voicing.h"
#include "plugin/lv2_host.h"

namespace {

using namespace quimbel;
using quimbel::testing::Lv2Host;
using quimbel::testing::PluginRun;

constexpr char kInstrument[] = "https://quimbel.app/lv2/quimbel";
constexpr double Rate = 48000.0;
constexpr std::uint32_t BlockFrames = 128;

// A six-note chord (sevenths, ninths and the bass) on every block: each damps
// the one before, whose notes fade for up to 0.2 s, so all 64 voices stay
// busy and the oldest are stolen.
constexpr int ChordKey = 67;  // G: the fifth pad
constexpr int Velocity = 100;

double cpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// The render core alone, given the commands a pad press of that chord sends.
struct CoreLoad {
  RenderCore* core = createCore(Rate);
  std::vector<float> left = std::vector<float>(BlockFrames), right = left;
  ChordNoteArray chord = padChordNotes(4, {1, Chords::Mode::minor}, -1, true, true, true);
  float gain = velocityGain(Velocity) * chordScale(chord.count);

  explicit CoreLoad(const SampleLibrary& piano) {
    installSamples(core, piano, Rate);
    setVolume(core, 0.64f);
  }
  ~CoreLoad() { destroyCore(core); }
  void block() {
    releaseAll(core);
    for (std::size_t j = 0; j < chord.count; ++j)
      noteOn(core, static_cast<std::uint32_t>(chord.notes[j]), NoTag, Velocity, gain, 0.0,
             kDefaultNoteSeconds);
    render(core, left.data(), right.data(), BlockFrames);
  }
};

// The instrument in the host, its input holding the key on every block.
struct PluginLoad {
  Lv2Host host;
  PluginRun run{host, kInstrument, Rate};

  PluginLoad() {
    run.set("sevenths", 1);
    run.set("ninths", 1);
    run.feed({quimbel::testing::noteOn(0, ChordKey, Velocity)});
  }
  void block() { run.runBlock(BlockFrames); }
};

// The two loads timed in turns, a second of audio each, their order
// swapped every round, so that whatever else the machine does falls on both
// alike. Gives each load's real-time factor over all rounds (audio seconds
// per second of the thread's processor time) and the median of the rounds'
// ratios of plugin to core time.
struct Comparison {
  double coreFactor = 0.0, pluginFactor = 0.0, overheadPct = 0.0;
};

template <typename A, typename B>
Comparison compare(A& core, B& plugin, int rounds) {
  constexpr int SegmentBlocks = static_cast<int>(Rate) / BlockFrames;
  auto timed = [](auto& load) {
    const double start = cpuSeconds();
    for (int b = 0; b < SegmentBlocks; ++b) load.block();
    return cpuSeconds() - start;
  };
  for (int b = 0; b < SegmentBlocks; ++b) core.block(), plugin.block();  // warm-up
  double coreTotal = 0.0, pluginTotal = 0.0;
  std::vector<double> ratios;
  for (int round = 0; round < rounds; ++round) {
    double c = 0.0, p = 0.0;
    if (round % 2 == 0) {
      c = timed(core);
      p = timed(plugin);
    } else {
      p = timed(plugin);
      c = timed(core);
    }
    coreTotal += c;
    pluginTotal += p;
    ratios.push_back(p / c);
  }
  std::nth_element(ratios.begin(), ratios.begin() + rounds / 2, ratios.end());
  const double seconds = rounds * SegmentBlocks * BlockFrames / Rate;
  return {seconds / coreTotal, seconds / pluginTotal, 100.0 * (ratios[rounds / 2] - 1.0)};
}

void BM_CoreBlock(benchmark::State& state) {
  CoreLoad load(sampleLibrary());
  for (auto _ : state) load.block();
}
BENCHMARK(BM_CoreBlock)->MinTime(1.0);

void BM_InstrumentBlock(benchmark::State& state) {
  PluginLoad load;
  if (!load.run.ok()) state.SkipWithError("the instrument did not start");
  for (auto _ : state) load.block();
}
BENCHMARK(BM_InstrumentBlock)->MinTime(1.0);

// A project's load: instantiate and free, the samples at 44.1 kHz taken from
// the cache the first instantiate filled. With no other instrument alive the
// piano is read each time, as for a project's first instrument.
void BM_InstantiateWithFilledCache(benchmark::State& state) {
  Lv2Host host;
  { PluginRun fill(host, kInstrument, 44100.0); }
  for (auto _ : state) {
    PluginRun run(host, kInstrument, 44100.0);
    if (!run.ok()) state.SkipWithError("the instrument did not start");
  }
}
BENCHMARK(BM_InstantiateWithFilledCache)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Another instrument of the same project: the piano is already read.
void BM_InstantiateBesideAnother(benchmark::State& state) {
  Lv2Host host;
  PluginRun first(host, kInstrument, 44100.0);
  for (auto _ : state) {
    PluginRun run(host, kInstrument, 44100.0);
    if (!run.ok()) state.SkipWithError("the instrument did not start");
  }
}
BENCHMARK(BM_InstantiateBesideAnother)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The quickest of five instantiates at 44.1 kHz, in milliseconds of wall
// time and of the whole process's processor time (the sample bank reads and
// makes samples on several threads).
struct Instantiate {
  double wallMs = 1e9, processMs = 0.0;
};

Instantiate instantiate(bool beside) {
  Lv2Host host;
  std::optional<PluginRun> first;
  if (beside) first.emplace(host, kInstrument, 44100.0);
  Instantiate best;
  for (int pass = 0; pass < 5; ++pass) {
    timespec cpu0, cpu1;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu0);
    const auto start = std::chrono::steady_clock::now();
    { PluginRun run(host, kInstrument, 44100.0); }
    const double wall =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu1);
    if (wall < best.wallMs)
      best = {wall, (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) * 1e-6};
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  // The plugin finds the build's piano beside its bundle; the sample cache is
  // a scratch folder of this run, filled by the first instantiate.
  unsetenv("QUIMBEL_DATA_DIR");
  const std::filesystem::path cache =
      std::filesystem::temp_directory_path() / ("quimbel-bench-plugin-" + std::to_string(getpid()));
  setenv("QUIMBEL_CACHE_DIR", cache.c_str(), 1);
  {
    Lv2Host host;
    PluginRun fill(host, kInstrument, 44100.0);
  }

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  // Instantiates first: no instrument may hold the piano for the first figure.
  const Instantiate first = instantiate(false), beside = instantiate(true);
  std::error_code ignored;
  std::filesystem::remove_all(cache, ignored);
  CoreLoad coreLoad(sampleLibrary());
  PluginLoad pluginLoad;
  const Comparison figures = compare(coreLoad, pluginLoad, 40);

  std::printf(
      "64 voices busy, 48 kHz, 128-frame blocks: render core %.1fx real time, instrument %.1fx; "
      "the plugin takes %.2f%% more time (median of 40 rounds)\n",
      figures.coreFactor, figures.pluginFactor, figures.overheadPct);
  std::printf(
      "instantiate at 44.1 kHz with a filled cache: %.0f ms (%.0f ms of processor time), "
      "%.0f ms (%.0f ms) beside another instrument\n",
      first.wallMs, first.processMs, beside.wallMs, beside.processMs);
  std::printf("SUMMARY plugin_rtf %.1f x\n", figures.pluginFactor);
  std::printf("SUMMARY plugin_core_rtf %.1f x\n", figures.coreFactor);
  std::printf("SUMMARY plugin_overhead_pct %.2f %%\n", figures.overheadPct);
  std::printf("SUMMARY plugin_instantiate_ms %.0f ms\n", first.wallMs);
  std::printf("SUMMARY plugin_instantiate_beside_ms %.0f ms\n", beside.wallMs);
  return 0;
}

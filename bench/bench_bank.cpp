// Piano library and offline rendering figures with the real piano of the data
// folder ($QUIMBEL_DATA_DIR, else the build's share/quimbel):
// - each one-off figure (load times, first core creation, first chord after
//   launch, resident memory) in a fresh child process, so that one
//   measurement's allocations and page cache do not flatter the next;
// - Google Benchmark loops for the library load, the whole conversion pass
//   per rate and an offline render of an 8-bar take at 120 bpm;
// then "SUMMARY <name> <value> <unit>" lines for scripts/bench.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_export.h"
#include "audio/core/render_core.h"
#include "audio/offline_render.h"
#include "audio/portaudio_backend.h"
#include "audio/sample_bank.h"
#include "audio/sample_cache.h"
#include "files/data_folder.h"
#include "music/voicing.h"

namespace {

using namespace quimbel;
using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A /proc/self/status figure in MiB ("VmRSS", "VmHWM").
double statusMb(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.rfind(prefix, 0) == 0)
      return std::strtod(line.c_str() + prefix.size(), nullptr) / 1024.0;
  }
  return 0.0;
}

// Asks the kernel to forget the cached pages of the piano files, so that the
// next read comes from the disk (clean pages only; needs no privileges).
void dropPianoFromCache() {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dataFolder() / "Piano", error)) {
    const int fd = open(entry.path().c_str(), O_RDONLY);
    if (fd < 0) continue;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
}

// Runs one measurement in a child process; it prints its own lines.
void inChild(const std::function<void()>& measure) {
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    measure();
    std::fflush(stdout);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
}

// Eight bars at 120 bpm: a triad or a seventh chord every two beats, each
// held until the next, as a quantized take would hold them.
Take eightBarTake() {
  Take take;
  take.bpm = 120;
  take.length = 16.0;
  take.volume = 0.8f;
  const Chords::Key key{0, Chords::Mode::major};
  const int degrees[] = {0, 4, 5, 3};
  for (int i = 0; i < 16; ++i) {
    ChordHit hit;
    hit.pad = degrees[i % 4];
    hit.t = i * 1.0;
    const std::vector<int> notes = chordNotes(hit.pad, key, 2, i % 3 == 2, false, i % 2 == 0);
    hit.voicing = i % 4 == 3 ? strumVoicing(notes, take.bpm) : plainVoicing(notes);
    hit.voicing.gain = 0.8f;
    hit.length = 1.0;
    take.events.push_back(hit);
  }
  return take;
}

// Process CPU time (all threads) in milliseconds.
double cpuMs() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}

// Thread CPU time of the caller in milliseconds.
double threadCpuMs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec * 1e-6;
}

// A launch that starts preparing the piano and the audio system, then a key
// press `pressAfterMs` later: the press asks the device layer for its rate
// and makes the live core (as the engine host does on first sound), sends a
// chord and renders 128-frame device buffers until one carries sound. Gives
// the milliseconds from the press to that buffer. The device's own stream
// start is not part of it: this machine may have no output device.
double firstChordMs(double pressAfterMs) {
  const Clock::time_point launch = Clock::now();
  const double launchCpu = cpuMs();
  PortAudioBackend backend;
  preloadSampleLibrary(48000);
  backend.initialiseInBackground();
  std::this_thread::sleep_until(launch + std::chrono::duration<double, std::milli>(pressAfterMs));
  const Clock::time_point press = Clock::now();
  const double pressCpu = cpuMs(), pressThreadCpu = threadCpuMs();
  const double rate = backend.deviceRate();
  RenderCore* core = createCore(rate);
  installPianoSamples(core, rate);
  for (int note : {60, 64, 67})
    noteOn(core, static_cast<std::uint32_t>(note), 0, 100, 0.6f, 0.0, 1.9);
  std::vector<float> left(128), right(128);
  for (int call = 0; call < 100; ++call) {
    render(core, left.data(), right.data(), 128);
    if (std::any_of(left.begin(), left.end(), [](float x) { return x != 0.0f; })) break;
  }
  const double ms = msSince(press);
  std::printf(
      "  press %.0f ms after launch: sound %.1f ms later; processor time %.0f ms from launch to "
      "press (all threads), %.0f ms from press to sound (all threads), %.0f ms on the pressing "
      "thread\n",
      pressAfterMs, ms, pressCpu - launchCpu, cpuMs() - pressCpu, threadCpuMs() - pressThreadCpu);
  destroyCore(core);
  return ms;
}

void measureFirstChordAtLaunch() {
  const double ms = firstChordMs(0.0);
  std::printf("first chord %.1f ms after a key press at the very moment of launch\n", ms);
}

// A person cannot press a key before the panel has been opened: 300 ms
// after launch is early.
void measureFirstChord() {
  const double ms = firstChordMs(300.0);
  std::printf("first chord %.1f ms after a key press 300 ms after launch\n", ms);
  std::printf("SUMMARY first_chord_ms %.1f ms\n", ms);
}

void measureLiveMemory() {
  preloadSampleLibrary(48000);
  RenderCore* core = createCore(48000);
  installPianoSamples(core, 48000);
  const double live = statusMb("VmRSS");
  std::printf("resident with the library and one live core at 48 kHz: %.1f MiB\n", live);
  const Clock::time_point start = Clock::now();
  const double cpuStart = cpuMs();
  const auto file = exportTakeAudio(eightBarTake());
  std::printf(
      "8-bar export at 44100 Hz: %.0f ms, %.0f ms of processor time, peak resident %.1f MiB\n",
      msSince(start), cpuMs() - cpuStart, statusMb("VmHWM"));
  if (file) std::filesystem::remove_all(file->parent_path());
  destroyCore(core);
  std::printf("SUMMARY rss_mb_live %.1f MiB\n", live);
  std::printf("SUMMARY rss_mb_export_peak %.1f MiB\n", statusMb("VmHWM"));
}

void measureLibraryLoad() {
  dropPianoFromCache();
  Clock::time_point start = Clock::now();
  double cpuStart = cpuMs();
  std::size_t notes = loadSampleLibrary(dataFolder()).size();
  const double cold = msSince(start);
  const double coldCpu = cpuMs() - cpuStart;
  start = Clock::now();
  cpuStart = cpuMs();
  const SampleLibrary library = loadSampleLibrary(dataFolder());
  const double warm = msSince(start);
  const double warmCpu = cpuMs() - cpuStart;
  std::size_t bytes = 0, frames = 0;
  for (const auto& [note, sound] : library) {
    bytes += sound.bytes();
    frames += sound.frames();
  }
  std::printf(
      "library: %zu notes, %.1f s of sound, %.1f MiB kept; load %.1f ms cold (%.0f ms processor), "
      "%.1f ms warm "
      "(%.0f ms processor)\n",
      notes, frames / 48000.0, bytes / 1048576.0, cold, coldCpu, warm, warmCpu);
  std::printf("SUMMARY library_load_ms_cold %.1f ms\n", cold);
  std::printf("SUMMARY library_load_ms_warm %.1f ms\n", warm);
}

// The first core of a process at a rate: decoding, conversion (or, at a
// rate met before, the cached conversions) and install.
void measureFirstCore(int rate, const char* summary) {
  const Clock::time_point start = Clock::now();
  const double cpuStart = cpuMs();
  RenderCore* core = createCore(rate);
  installPianoSamples(core, rate);
  const double ms = msSince(start);
  const double cpu = cpuMs() - cpuStart;
  destroyCore(core);
  std::printf("first core at %d Hz, nothing prepared (%s): %.1f ms (%.0f ms of processor time)\n",
              rate, summary, ms, cpu);
  std::printf("SUMMARY %s %.1f ms\n", summary, ms);
}

// The take's export at 44100 Hz, with its sample preparation: the choice
// of the samples its notes play from, their conversion and installation.
// Real-time factors are of processor time, all threads counted.
struct ExportFigure {
  double ms = 0.0;
  double cpu = 0.0;
};

ExportFigure timeExport(const Take& take) {
  const Clock::time_point start = Clock::now();
  const double cpuStart = cpuMs();
  const StereoBuffer out = renderOffline(take.events, audioExportSeconds(take), 0.64f, 44100);
  benchmark::DoNotOptimize(out.left.data());
  return {msSince(start), cpuMs() - cpuStart};
}

// In a fresh process that has read nothing of the piano, as a one-off
// `quimbel render` runs: the export reads only the files it needs.
void measureOneOffExport() {
  const Take take = eightBarTake();
  const double seconds = audioExportSeconds(take);
  const ExportFigure first = timeExport(take);
  std::printf(
      "offline 8 bars (%.1f s) at 44100 Hz in a fresh process: %.0f ms (%.0f ms processor, %.0fx "
      "real time)\n",
      seconds, first.ms, first.cpu, seconds * 1000 / first.cpu);
  std::printf("SUMMARY offline_rtf_fresh_process %.1f x\n", seconds * 1000 / first.cpu);
}

// In the running program: the library read at launch and a live core at
// 48 kHz. Then the render alone on one thread into a core whose samples are
// already in place.
void measureOfflineRate() {
  const Take take = eightBarTake();
  const double seconds = audioExportSeconds(take);
  RenderCore* live = createCore(48000);
  installSamples(live, sampleLibrary(), 48000);
  const ExportFigure running = timeExport(take);
  destroyCore(live);

  RenderCore* core = createCore(44100);
  installSamples(core, sampleLibrary(), 44100);
  setVolume(core, 0.64f);
  const std::size_t total = offlineFrameCount(seconds, 44100);
  std::vector<float> left(total), right(total);
  std::size_t e = 0;
  const Clock::time_point start = Clock::now();
  const double cpuStart = cpuMs();
  for (std::size_t p = 0; p < total; p += 512) {
    for (; e < take.events.size() && static_cast<std::size_t>(44100 * take.events[e].t) <= p; ++e) {
      const ChordHit& hit = take.events[e];
      releaseAll(core);
      for (std::size_t i = 0; i < hit.voicing.notes.size(); ++i) {
        noteOn(core, static_cast<std::uint32_t>(hit.voicing.notes[i]), NoTag, 100,
               hit.voicing.gain * chordScale(hit.voicing.notes.size()), hit.voicing.offsets[i],
               noteLength(hit.voicing, i, hit.length));
      }
    }
    render(core, left.data() + p, right.data() + p,
           static_cast<std::int32_t>(std::min<std::size_t>(512, total - p)));
  }
  const double renderCpu = cpuMs() - cpuStart;
  const double renderMs = msSince(start);
  destroyCore(core);
  std::printf(
      "offline 8 bars (%.1f s) at 44100 Hz in the running program: with its sample preparation "
      "%.0f ms (%.0f ms processor, %.0fx real time); render alone %.0f ms (%.0f ms processor, "
      "%.0fx)\n",
      seconds, running.ms, running.cpu, seconds * 1000 / running.cpu, renderMs, renderCpu,
      seconds * 1000 / renderCpu);
  std::printf("SUMMARY offline_rtf %.1f x\n", seconds * 1000 / running.cpu);
}

void BM_LibraryLoadWarm(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(loadSampleLibrary(dataFolder()).size());
}
BENCHMARK(BM_LibraryLoadWarm)->Unit(benchmark::kMillisecond)->Iterations(5);

// The whole conversion pass a core at this rate costs, with nothing cached.
void BM_InstallAtRate(benchmark::State& state) {
  const SampleLibrary& library = sampleLibrary();
  const auto rate = static_cast<double>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove_all(sampleCacheFolder());
    state.ResumeTiming();
    RenderCore* core = createCore(rate);
    installSamples(core, library, rate);
    destroyCore(core);
  }
}
BENCHMARK(BM_InstallAtRate)
    ->Arg(44100)
    ->Arg(48000)
    ->Arg(96000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// One note's conversion alone, single-threaded.
void BM_SoundAtRate(benchmark::State& state) {
  const Sound sound = sampleLibrary().at(60).sound();
  const auto rate = static_cast<double>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(soundAtRate(sound, rate).frames());
}
BENCHMARK(BM_SoundAtRate)->Arg(44100)->Arg(96000)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_OfflineEightBars(benchmark::State& state) {
  const Take take = eightBarTake();
  const auto rate = static_cast<double>(state.range(0));
  sampleLibrary();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        renderOffline(take.events, audioExportSeconds(take), 0.64f, rate).left.data());
  }
  state.counters["rtf"] =
      benchmark::Counter(audioExportSeconds(take) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OfflineEightBars)
    ->Arg(44100)
    ->Arg(48000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  // The build tree's data folder when none is given.
  setenv("QUIMBEL_DATA_DIR", dataFolder().c_str(), 0);
  inChild(measureFirstChordAtLaunch);
  inChild(measureFirstChord);
  inChild(measureLiveMemory);
  inChild(measureLibraryLoad);
  // Converted samples are kept in a cache folder of this run's own: the
  // first core at 44100 Hz fills it, the next one (as at the next launch)
  // reads it.
  std::string cache = (std::filesystem::temp_directory_path() / "quimbel-bench-XXXXXX").string();
  if (mkdtemp(cache.data()) == nullptr) return 1;
  setenv("QUIMBEL_CACHE_DIR", cache.c_str(), 1);
  inChild([] { measureFirstCore(48000, "core_create_ms_48000"); });
  inChild([] { measureFirstCore(44100, "core_create_ms_44100_uncached"); });
  inChild([] { measureFirstCore(44100, "core_create_ms_44100"); });
  inChild(measureOneOffExport);
  inChild(measureOfflineRate);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(cache);
  return 0;
}

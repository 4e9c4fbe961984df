// Sound outputs: JACK on a private jackd with the dummy driver at 48 kHz,
// and the Automatic path (PortAudio on the default device) with and without
// Low latency.
//
// Key to sound on JACK, per period (64, 128, 256 frames): 200 presses at
// random moments, each a release-all and a three-note chord sent through the
// engine host as a pad press sends it. A press's latency runs from the time
// stamp taken just before the chord is sent to the JACK time of the chord's
// first frame at the program's output port: JACK's frame time of the period
// that carries it plus the offset within that period, turned into time by
// JACK's own clock. A probe client, fed by the program's ports, relates the
// core's frame clock to JACK's frame time in every period and checks that
// the first chord is heard where the core says it began.
//
// Key to MIDI on JACK, in the same runs: the probe also listens to the
// program's midi_out, and each press's first note-on is timed like its
// sound, from the same time stamp to the JACK time of the note-on's frame.
// The note-on's frame must be the chord's first frame (0 frames apart).
//
// Xruns: the loop of a 64-voice take (an eight-note chord every 125 ms,
// every voice busy and stolen) at 64 frames for --xrun-seconds (default 60),
// beside as long a silence for the machine's own share.
//
// Prints a Google Benchmark figure for the process callback at 64 frames
// with 64 voices (its budget is one period, 1.33 ms), then "SUMMARY <name> <value> <unit>" lines
// for scripts/bench. Without jackd the JACK figures are skipped.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <jack/jack.h>
#include <jack/midiport.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/core/render_core.h"
#include "audio/jack_backend.h"
#include "audio/libjack_server.h"
#include "audio/piano_engine.h"
#include "audio/portaudio_backend.h"
#include "audio/sample_bank.h"
#include "base/manual_main_thread.h"

extern char** environ;

namespace {

using namespace quimbel;

constexpr double kRate = 48000.0;
constexpr int kPresses = 200;
constexpr std::uint32_t kChord[] = {60, 64, 67};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(values.size())));
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

void sleepMs(double ms) {
  std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(ms * 1000.0)));
}

// --- The process callback on a stand-in server ---

class BenchServer final : public JackServer {
 public:
  std::string open(JackEvents& events) override {
    events_ = &events;
    return {};
  }
  void close() override {}
  std::string name() const override { return "bench"; }
  double rate() const override { return kRate; }
  std::uint32_t periodFrames() const override { return 64; }
  std::uint32_t playbackLatencyFrames() const override { return 64; }
  bool activate() override { return true; }
  void deactivate() override {}
  void awaitPeriods(const std::function<bool()>& settled, double) override {
    for (int i = 0; i < 3 && !settled(); ++i) cycle();
  }
  void buffers(std::uint32_t, float** l, float** r) noexcept override {
    *l = left_;
    *r = right_;
  }
  void writeMidi(std::uint32_t, const JackMidiEvent*, int) noexcept override {}
  int readMidi(std::uint32_t, JackMidiEvent*, int) noexcept override { return 0; }
  std::vector<std::string> physicalPlaybackPorts() override { return {}; }
  std::vector<std::string> connections(int) override { return {}; }
  bool connect(int, const std::string&) override { return true; }
  void cycle() noexcept { events_->process(64); }

 private:
  JackEvents* events_ = nullptr;
  float left_[64] = {}, right_[64] = {};
};

void processCallbackAt64FramesWith64Voices(benchmark::State& state) {
  ManualClock clock;
  ManualMainThread main(clock);
  BenchServer server;
  JackBackend backend(server);
  PianoEngine engine(main, backend, installPianoSamples);
  engine.start();
  int period = 0;
  for (auto _ : state) {
    if (period++ % 94 == 0) {  // 64 fresh notes every 125 ms
      for (int v = 0; v < 64; ++v)
        engine.noteOn(static_cast<std::uint32_t>(36 + (v * 7 + period) % 60), NoTag, 100, 0.05f,
                      v * 0.001, 1.9);
    }
    server.cycle();
  }
}
BENCHMARK(processCallbackAt64FramesWith64Voices)->Unit(benchmark::kMicrosecond);

// --- A private jackd ---

// Real-time scheduling where the machine allows it (as on a musician's
// machine), else without.
class Jackd {
 public:
  explicit Jackd(std::uint32_t period) {
    for (const char* mode : {"--realtime", "--no-realtime"}) {
      if (spawn(mode, period)) {
        realtime_ = std::strcmp(mode, "--realtime") == 0;
        return;
      }
    }
  }
  ~Jackd() { stop(); }
  bool running() const { return pid_ > 0 && answers(); }
  bool realtime() const { return realtime_; }
  static const char* name() {
    static const std::string server = "quimbel-bench-" + std::to_string(getpid());
    return server.c_str();
  }

 private:
  static bool answers() {
    jack_client_t* client = jack_client_open("bench-wait", JackNoStartServer, nullptr);
    if (!client) return false;
    jack_client_close(client);
    return true;
  }
  bool spawn(const char* mode, std::uint32_t period) {
    const std::string frames = std::to_string(period);
    const char* argv[] = {"jackd", mode,    "-n", name(),         "-d",   "dummy",
                          "-r",    "48000", "-p", frames.c_str(), nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    if (posix_spawnp(&pid_, "jackd", &quiet, nullptr, const_cast<char**>(argv), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&quiet);
    for (int i = 0; i < 100 && pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
      if (answers()) return true;
      sleepMs(50);
    }
    stop();
    return false;
  }
  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  pid_t pid_ = -1;
  bool realtime_ = false;
};

// A client fed by the program's outputs: in every period it notes which of
// the core's frames went out at which JACK frame time, where the first sound
// out of silence came, and every xrun.
class Probe {
 public:
  explicit Probe(RenderCore* core) : core_(core) {
    client_ = jack_client_open("probe", JackNoStartServer, nullptr);
    if (!client_) return;
    in_[0] = jack_port_register(client_, "in_left", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    in_[1] = jack_port_register(client_, "in_right", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    midi_ = jack_port_register(client_, "midi", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client_, &Probe::process, this);
    jack_set_xrun_callback(client_, &Probe::xrun, this);
    jack_activate(client_);
    jack_connect(client_, "Quimbel:out_left", jack_port_name(in_[0]));
    jack_connect(client_, "Quimbel:out_right", jack_port_name(in_[1]));
    jack_connect(client_, "Quimbel:midi_out", jack_port_name(midi_));
  }
  ~Probe() {
    if (client_) jack_client_close(client_);
  }
  bool ready() const { return client_ && written_.load() > 0; }
  // The JACK frame time at which a core frame left the program's port, or -1
  // when the probe has not (yet) seen the period that carried it.
  std::int64_t jackFrameOf(std::int64_t coreFrame) const {
    const std::uint64_t written = written_.load(std::memory_order_acquire);
    for (std::uint64_t k = written; k > 0 && written - k < kCycles / 2; --k) {
      const Cycle& cycle = cycles_[(k - 1) % kCycles];
      const std::int64_t first = cycle.coreEnd - cycle.frames;
      if (coreFrame >= cycle.coreEnd) return -1;
      if (coreFrame >= first) return cycle.jackStart + (coreFrame - first);
    }
    return -1;
  }
  std::int64_t firstSoundFrame() const { return firstSound_.load(); }
  // Note-ons heard on midi_out so far, and the JACK frame time of one.
  std::uint64_t noteOns() const { return noteOnCount_.load(std::memory_order_acquire); }
  std::int64_t noteOnFrame(std::uint64_t index) const { return noteOnFrames_[index % kCycles]; }
  int xruns() const { return xruns_.load(); }
  // Microseconds on JACK's clock of a JACK frame time.
  double usecsOf(std::int64_t frame) const {
    return static_cast<double>(jack_frames_to_time(client_, static_cast<jack_nframes_t>(frame)));
  }
  void listenForSound() { firstSound_.store(kUnknown); }

 private:
  static constexpr std::int64_t kUnknown = INT64_MIN;
  static constexpr std::uint64_t kCycles = 8192;
  struct Cycle {
    std::int64_t jackStart;
    std::int64_t coreEnd;
    std::int64_t frames;
  };

  static int process(jack_nframes_t frames, void* arg) {
    auto* self = static_cast<Probe*>(arg);
    const std::int64_t start = jack_last_frame_time(self->client_);
    // The program ran before this client in the period: the core's clock
    // already counts the period's frames.
    const std::uint64_t n = self->written_.load(std::memory_order_relaxed);
    self->cycles_[n % kCycles] = Cycle{start, currentFrame(self->core_), frames};
    self->written_.store(n + 1, std::memory_order_release);
    void* midi = jack_port_get_buffer(self->midi_, frames);
    for (std::uint32_t i = 0, count = jack_midi_get_event_count(midi); i < count; ++i) {
      jack_midi_event_t event;
      if (jack_midi_event_get(&event, midi, i) != 0 || event.size != 3) continue;
      if ((event.buffer[0] & 0xF0) != 0x90 || event.buffer[2] == 0) continue;
      const std::uint64_t k = self->noteOnCount_.load(std::memory_order_relaxed);
      self->noteOnFrames_[k % kCycles] = start + event.time;
      self->noteOnCount_.store(k + 1, std::memory_order_release);
    }
    const auto* left = static_cast<const float*>(jack_port_get_buffer(self->in_[0], frames));
    if (self->firstSound_.load() == kUnknown) {
      for (jack_nframes_t i = 0; i < frames; ++i) {
        if (std::fabs(left[i]) > 1e-6f) {
          self->firstSound_.store(start + i);
          break;
        }
      }
    }
    return 0;
  }
  static int xrun(void* arg) {
    ++static_cast<Probe*>(arg)->xruns_;
    return 0;
  }

  RenderCore* core_;
  jack_client_t* client_ = nullptr;
  jack_port_t* in_[2] = {nullptr, nullptr};
  jack_port_t* midi_ = nullptr;
  Cycle cycles_[kCycles] = {};
  std::int64_t noteOnFrames_[kCycles] = {};
  std::atomic<std::uint64_t> noteOnCount_{0};
  std::atomic<std::uint64_t> written_{0};
  std::atomic<std::int64_t> firstSound_{0};
  std::atomic<int> xruns_{0};
};

struct JackRun {
  explicit JackRun(std::uint32_t period) : server(period) {
    if (!server.running()) return;
    engine.setMidiOut(1);
    engine.start();
    if (!engine.running()) return;
    probe = std::make_unique<Probe>(engine.core());
    for (int i = 0; i < 100 && !probe->ready(); ++i) sleepMs(10);
  }
  ~JackRun() {
    probe.reset();
    engine.stop();
  }
  bool ready() const { return probe && probe->ready(); }

  // Sends a chord as a press does; returns the core frame it began on.
  std::int64_t press(std::int32_t tag) {
    engine.releaseAll();
    for (std::uint32_t note : kChord)
      engine.noteOn(note, note == 60 ? tag : NoTag, 100, 0.3f, 0, 1.9);
    for (int wait = 0; wait < 20000; ++wait) {
      for (const StartedNote& started : engine.started()) {
        if (started.tag == tag) return started.frame;
      }
      sleepMs(0.1);
    }
    return -1;
  }

  Jackd server;
  ManualClock clock;
  ManualMainThread main{clock};
  LibJackServer link;
  JackBackend backend{link};
  PianoEngine engine{main, backend, installPianoSamples};
  std::unique_ptr<Probe> probe;
};

void keyToSound(std::uint32_t period) {
  JackRun run(period);
  if (!run.ready()) {
    std::printf("period %u: no jackd with the dummy driver here; skipped\n", period);
    return;
  }
  // The first chord out of silence: the core's start frame, carried over to
  // JACK's frame time, must be where the probe heard it.
  run.probe->listenForSound();
  const std::int64_t first = run.press(0);
  sleepMs(50);
  const std::int64_t heard = run.probe->firstSoundFrame();
  std::printf(
      "period %u, %s: first chord heard at JACK frame %lld, where the core began it: %lld\n",
      period, run.server.realtime() ? "real-time" : "not real-time", static_cast<long long>(heard),
      static_cast<long long>(run.probe->jackFrameOf(first)));

  std::mt19937 random(period);
  std::uniform_real_distribution<double> gap(5.0, 25.0);
  std::vector<double> latencyMs, midiLatencyMs;
  std::int64_t midiApart = 0;  // the most frames between a note-on and its chord's first frame
  const int xrunsBefore = run.probe->xruns();
  for (int i = 1; i <= kPresses; ++i) {
    sleepMs(gap(random));
    const std::uint64_t onsBefore = run.probe->noteOns();
    const double pressedUsecs = static_cast<double>(jack_get_time());
    const std::int64_t frame = run.press(i);
    std::int64_t jackFrame = -1;
    for (int wait = 0; frame >= 0 && jackFrame < 0 && wait < 100; ++wait) {
      sleepMs(0.5);
      jackFrame = run.probe->jackFrameOf(frame);
    }
    if (jackFrame < 0) continue;
    latencyMs.push_back((run.probe->usecsOf(jackFrame) - pressedUsecs) / 1000.0);
    for (int wait = 0; run.probe->noteOns() == onsBefore && wait < 100; ++wait) sleepMs(0.5);
    if (run.probe->noteOns() == onsBefore) continue;
    const std::int64_t midiFrame = run.probe->noteOnFrame(onsBefore);
    midiLatencyMs.push_back((run.probe->usecsOf(midiFrame) - pressedUsecs) / 1000.0);
    midiApart = std::max(midiApart, std::abs(midiFrame - jackFrame));
  }
  const double periodMs = period / kRate * 1000.0;
  std::printf(
      "period %u (%.2f ms): %zu presses, key to first frame p50 %.2f ms, p99 %.2f ms, "
      "min %.2f ms, max %.2f ms, %d xruns meanwhile\n",
      period, periodMs, latencyMs.size(), percentile(latencyMs, 0.5), percentile(latencyMs, 0.99),
      percentile(latencyMs, 0.0), percentile(latencyMs, 1.0), run.probe->xruns() - xrunsBefore);
  std::printf(
      "period %u: %zu presses, key to MIDI note-on p50 %.2f ms, p99 %.2f ms; note-on and "
      "first sounding frame at most %lld frames apart\n",
      period, midiLatencyMs.size(), percentile(midiLatencyMs, 0.5), percentile(midiLatencyMs, 0.99),
      static_cast<long long>(midiApart));
  std::printf("SUMMARY jack_key_to_midi_p99_ms_at_%u %.2f ms\n", period,
              percentile(midiLatencyMs, 0.99));
  std::printf("SUMMARY jack_midi_to_sound_frames_apart_at_%u %lld frames\n", period,
              static_cast<long long>(midiApart));
  std::printf("SUMMARY jack_key_to_sound_p50_ms_at_%u %.2f ms\n", period,
              percentile(latencyMs, 0.5));
  std::printf("SUMMARY jack_key_to_sound_p99_ms_at_%u %.2f ms\n", period,
              percentile(latencyMs, 0.99));
}

// Xruns while the loop plays (or, for comparison, while the program is
// silent and the machine alone causes them).
int xrunsOver(JackRun& run, double seconds, bool loop) {
  const std::int64_t chordFrames = static_cast<std::int64_t>(kRate * 0.125);
  std::int64_t next = run.engine.now() + 4800;
  int chord = 0;
  const int before = run.probe->xruns();
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    // As the loop does: chords handed over when they come within a second.
    while (loop && next < run.engine.now() + static_cast<std::int64_t>(kRate)) {
      for (int n = 0; n < 8; ++n) {
        run.engine.scheduleNote(static_cast<std::uint32_t>(40 + (chord * 5 + n * 7) % 48), next,
                                NoTag, 100, 0.05f, 1.9);
      }
      next += chordFrames;
      ++chord;
    }
    sleepMs(50);
  }
  return run.probe->xruns() - before;
}

void xrunsOfALoop(double seconds) {
  JackRun run(64);
  if (!run.ready()) return;
  const int silent = xrunsOver(run, seconds, false);
  const int playing = xrunsOver(run, seconds, true);
  std::printf("at 64 frames for %.0f s: %d xruns while the 64-voice loop plays, %d while silent\n",
              seconds, playing, silent);
  std::printf("SUMMARY jack_xruns_64_voices_%.0fs %d count\n", seconds, playing);
  std::printf("SUMMARY jack_xruns_silent_%.0fs %d count\n", seconds, silent);
}

// --- The Automatic path ---

// What the sound server says of the program's stream: "Buffer Latency" plus
// "Sink Latency", in milliseconds, or -1 without pactl.
double soundServerLatencyMs() {
  FILE* pactl = popen("pactl list sink-inputs 2>/dev/null", "r");
  if (!pactl) return -1.0;
  char line[256];
  double usecs = 0.0;
  int found = 0;
  while (std::fgets(line, sizeof line, pactl)) {
    double value = 0.0;
    if (std::sscanf(line, " Buffer Latency: %lf usec", &value) == 1 ||
        std::sscanf(line, " Sink Latency: %lf usec", &value) == 1) {
      usecs += value;
      ++found;
    }
  }
  pclose(pactl);
  return found == 2 ? usecs / 1000.0 : -1.0;
}

void automaticLatency(bool lowLatency) {
  PortAudioBackend device;
  device.setLowLatency(lowLatency);
  const double rate = device.deviceRate();
  RenderCore* silent = createCore(rate);
  {
    auto stream = device.makeStream(silent, rate, [] {});
    if (stream->start().empty()) {
      sleepMs(500);
      const double reported = stream->latencyMs();
      const double server = soundServerLatencyMs();
      std::printf("Automatic%s: PortAudio reports %.2f ms; the sound server %.2f ms\n",
                  lowLatency ? " with Low latency" : "", reported, server);
      const char* name = lowLatency ? "automatic_low_latency" : "automatic";
      std::printf("SUMMARY %s_output_latency_ms %.2f ms\n", name, reported);
      if (server >= 0.0) std::printf("SUMMARY %s_server_latency_ms %.2f ms\n", name, server);
      stream->stop();
    } else {
      std::printf("Automatic%s: no output device here\n", lowLatency ? " with Low latency" : "");
    }
  }
  destroyCore(silent);
}

}  // namespace

int main(int argc, char** argv) {
  double xrunSeconds = 60.0;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--xrun-seconds=", 15) == 0) {
      xrunSeconds = std::atof(argv[i] + 15);
    } else {
      rest.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(rest.size());
  setenv("JACK_DEFAULT_SERVER", Jackd::name(), 1);
  jack_set_error_function([](const char*) {});
  jack_set_info_function([](const char*) {});
  silenceAlsaErrors();
  preloadSampleLibrary(kRate);
  benchmark::Initialize(&count, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (std::uint32_t period : {64u, 128u, 256u}) keyToSound(period);
  if (xrunSeconds > 0.0) xrunsOfALoop(xrunSeconds);
  automaticLatency(false);
  automaticLatency(true);
  return 0;
}

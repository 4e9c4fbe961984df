// Plays a chord through the whole output path (engine host, PortAudio, ALSA,
// the sound server) and listens to what the server's null sink received.
// scripts/test starts the server and names its sink in QUIMBEL_TEST_SINK.

#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "audio/manual_main_thread.h"
#include "audio/piano_engine.h"
#include "audio/portaudio_backend.h"
#include "audio/sample_bank.h"
#include "diagnostics/report.h"

extern char** environ;

namespace quimbel {
namespace {

constexpr int RecordRate = 48000;

// parec writing the sink's monitor as raw interleaved float stereo.
class Recorder {
 public:
  Recorder(const std::string& sink, const std::filesystem::path& file) : file_(file) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string device = "--device=" + sink + ".monitor";
    const char* argv[] = {"parec",        device.c_str(),       "--rate=48000",
                          "--channels=2", "--format=float32le", "--latency-msec=20",
                          nullptr};
    started_ =
        posix_spawnp(&pid_, "parec", &actions, nullptr, const_cast<char**>(argv), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Recorder() { finish(); }

  bool started() const { return started_; }
  std::uintmax_t bytes() const {
    std::error_code ignored;
    auto size = std::filesystem::file_size(file_, ignored);
    return ignored ? 0 : size;
  }
  void finish() {
    if (!started_) return;
    kill(pid_, SIGINT);
    int status = 0;
    waitpid(pid_, &status, 0);
    started_ = false;
  }
  // The left channel of everything recorded.
  std::vector<float> left() const {
    std::ifstream in(file_, std::ios::binary);
    std::vector<float> frame(2), samples;
    while (in.read(reinterpret_cast<char*>(frame.data()), sizeof(float) * 2)) {
      samples.push_back(frame[0]);
    }
    return samples;
  }

 private:
  std::filesystem::path file_;
  pid_t pid_ = 0;
  bool started_ = false;
};

bool waitFor(const std::function<bool()>& done, double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Power of one frequency over a Hann-windowed stretch (Goertzel).
double powerAt(const std::vector<float>& samples, std::size_t from, std::size_t count,
               double frequency) {
  const double w = 2.0 * M_PI * frequency / RecordRate;
  const double coefficient = 2.0 * std::cos(w);
  double s1 = 0.0, s2 = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    double hann = 0.5 - 0.5 * std::cos(2.0 * M_PI * static_cast<double>(i) / (count - 1));
    double s0 = samples[from + i] * hann + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return s1 * s1 + s2 * s2 - coefficient * s1 * s2;
}

// ALSA unloads its plugins when PortAudio lets go of it, and memory they
// keep in their own globals then looks leaked to the leak checker. Keeping
// them loaded for the life of the test lets it see those references.
class KeepAlsaPluginsLoaded : public ::testing::Environment {
 public:
  void SetUp() override {
    glob_t found{};
    if (glob("/usr/lib/*/alsa-lib/*.so", 0, nullptr, &found) == 0) {
      for (std::size_t i = 0; i < found.gl_pathc; ++i) {
        dlopen(found.gl_pathv[i], RTLD_LAZY | RTLD_NODELETE);
      }
    }
    globfree(&found);
  }
};
const auto* const keepPlugins = ::testing::AddGlobalTestEnvironment(new KeepAlsaPluginsLoaded);

double noteFrequency(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

TEST(RealSoundTest, AChordPlayedThroughTheSoundServerIsRecordedWithItsPitches) {
  const char* sink = std::getenv("QUIMBEL_TEST_SINK");
  if (!sink || !*sink) {
    if (std::getenv("CI")) FAIL() << "no sound server: scripts/test starts one";
    GTEST_SKIP() << "no sound server (source scripts/sound-server.sh; start_sound_server)";
  }
  auto file = std::filesystem::temp_directory_path() /
              ("quimbel-real-sound-" + std::to_string(getpid()) + ".raw");
  Recorder recorder(sink, file);
  ASSERT_TRUE(recorder.started()) << "parec did not start";
  ASSERT_TRUE(waitFor([&] { return recorder.bytes() > 0; }, 5.0)) << "the monitor stays mute";

  diagnostics::LogCapture log;
  ManualClock clock;
  ManualMainThread mainThread(clock);
  PortAudioBackend backend;
  const int chord[] = {60, 64, 67};
  double latencyMs = 0.0, cpuLoad = 0.0;
  {
    PianoEngine engine(mainThread, backend, installPianoSamples);
    engine.start();
    ASSERT_TRUE(engine.running()) << ::testing::PrintToString(log.lines());
    EXPECT_TRUE(log.contains("[audio] started at 48000 Hz"));
    latencyMs = engine.latencyMs();
    EXPECT_GT(latencyMs, 0.0);

    const std::int64_t from = engine.now();
    engine.releaseAll();
    for (int note : chord) {
      engine.noteOn(static_cast<std::uint32_t>(note), note == 60 ? 1 : NoTag, 100, 0.7f, 0.0, 1.9);
    }
    const auto rate = static_cast<std::int64_t>(engine.rate());
    ASSERT_TRUE(waitFor([&] { return engine.now() > from + rate / 2; }, 10.0));
    cpuLoad = backend.cpuLoad();
    ASSERT_TRUE(waitFor([&] { return engine.now() > from + rate * 3 / 2; }, 10.0));
    cpuLoad = std::max(cpuLoad, backend.cpuLoad());
    auto started = engine.started();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].tag, 1);
    EXPECT_GE(started[0].frame, from);
  }
  // Leave the server time to pass the last buffers on to the monitor.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  recorder.finish();
  std::printf("latencyMs %.1f, audio thread busy %.2f %% of real time\n", latencyMs,
              cpuLoad * 100.0);
  ::testing::Test::RecordProperty("latencyMs", std::to_string(latencyMs));
  ::testing::Test::RecordProperty("cpuLoadPercent", std::to_string(cpuLoad * 100.0));

  std::vector<float> left = recorder.left();
  std::filesystem::remove(file);
  std::size_t onset = 0;
  while (onset < left.size() && std::fabs(left[onset]) < 0.01f) ++onset;
  const std::size_t window = RecordRate / 2;
  const std::size_t from = onset + RecordRate / 10;
  ASSERT_GT(left.size(), from + window) << "no chord in " << left.size() << " recorded frames";

  // Each note of the chord stands far above the semitones between them.
  double weakestChordNote = 1e300, strongestOther = 0.0;
  for (int note = 58; note <= 69; ++note) {
    double power = powerAt(left, from, window, noteFrequency(note));
    bool inChord = note == 60 || note == 64 || note == 67;
    if (inChord) weakestChordNote = std::min(weakestChordNote, power);
    if (!inChord) strongestOther = std::max(strongestOther, power);
  }
  std::printf("weakest chord note %.0f times the strongest other semitone\n",
              weakestChordNote / strongestOther);
  EXPECT_GT(weakestChordNote, 30.0 * strongestOther)
      << "weakest chord note " << weakestChordNote << ", strongest other " << strongestOther;
}

TEST(RealSoundTest, WithoutTheSoundServerTheStartFailsAndALaterRetryPlays) {
  const char* sink = std::getenv("QUIMBEL_TEST_SINK");
  if (!sink || !*sink) {
    if (std::getenv("CI")) FAIL() << "no sound server: scripts/test starts one";
    GTEST_SKIP() << "no sound server (source scripts/sound-server.sh; start_sound_server)";
  }
  diagnostics::LogCapture log;
  ManualClock clock;
  ManualMainThread mainThread(clock);
  PortAudioBackend backend;
  PianoEngine engine(mainThread, backend, [](RenderCore*, double) {});

  // The sound server's clients look for it here first.
  ::setenv("PULSE_SERVER", "unix:/nonexistent/quimbel-no-server", 1);
  engine.ensureRunning();
  ::unsetenv("PULSE_SERVER");
  EXPECT_FALSE(engine.running());
  EXPECT_TRUE(log.contains("[audio] didn't start: ")) << ::testing::PrintToString(log.lines());
  EXPECT_EQ(engine.latencyMs(), 0.0);
  EXPECT_NE(engine.core(), nullptr);

  engine.ensureRunning();
  ASSERT_TRUE(engine.running()) << ::testing::PrintToString(log.lines());
  EXPECT_TRUE(log.contains("[audio] started at 48000 Hz"));
  EXPECT_TRUE(waitFor([&] { return engine.now() > 4800; }, 5.0));
}

}  // namespace
}  // namespace quimbel

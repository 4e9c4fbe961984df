// Plays a chord through the whole output path (engine host, PortAudio, ALSA,
// the sound server) and listens to what the server's null sink received.
// scripts/test starts the server and names its sink in QUIMBEL_TEST_SINK.

#include <dlfcn.h>
#include <fcntl.h>
#include <glob.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <thread>

#include "audio/audio_fixtures.h"
#include "audio/manual_main_thread.h"
#include "audio/piano_engine.h"
#include "audio/portaudio_backend.h"
#include "diagnostics/report.h"

extern char** environ;

namespace quimbel {
namespace {

// parec writing the sink's monitor to a file as raw float stereo at 48000 Hz.
class Recorder {
 public:
  Recorder(const std::string& sink, const std::filesystem::path& file) : file_(file) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const std::string device = "--device=" + sink + ".monitor";
    const char* argv[] = {"parec",        device.c_str(),       "--rate=48000",
                          "--channels=2", "--format=float32le", "--latency-msec=20",
                          nullptr};
    started_ =
        posix_spawnp(&pid_, "parec", &actions, nullptr, const_cast<char**>(argv), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Recorder() {
    end();
    std::error_code ignored;
    std::filesystem::remove(file_, ignored);
  }
  bool started() const { return started_; }
  bool hasData() const {
    std::error_code error;
    const auto size = std::filesystem::file_size(file_, error);
    return !error && size > 0;
  }
  // Stops recording and gives the left channel of everything recorded.
  std::vector<float> stop() {
    end();
    std::ifstream in(file_, std::ios::binary);
    std::vector<float> left;
    for (float frame[2]; in.read(reinterpret_cast<char*>(frame), sizeof frame);)
      left.push_back(frame[0]);
    return left;
  }

 private:
  void end() {
    if (!started_) return;
    kill(pid_, SIGINT);
    waitpid(pid_, nullptr, 0);
    started_ = false;
  }

  std::filesystem::path file_;
  pid_t pid_ = 0;
  bool started_ = false;
};

bool waitFor(const std::function<bool()>& done, double seconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// ALSA unloads its plugins when PortAudio lets go of it, and memory they
// keep in their own globals then looks leaked to the leak checker. Keeping
// them loaded for the life of the test lets it see those references.
class KeepAlsaPluginsLoaded : public ::testing::Environment {
 public:
  void SetUp() override {
    glob_t found{};
    if (glob("/usr/lib/*/alsa-lib/*.so", 0, nullptr, &found) == 0) {
      for (std::size_t i = 0; i < found.gl_pathc; ++i)
        dlopen(found.gl_pathv[i], RTLD_LAZY | RTLD_NODELETE);
    }
    globfree(&found);
  }
};
const auto* const keepPlugins = ::testing::AddGlobalTestEnvironment(new KeepAlsaPluginsLoaded);

class RealSoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (sink != nullptr && *sink != '\0') return;
    if (std::getenv("CI")) FAIL() << "no sound server: scripts/test starts one";
    GTEST_SKIP() << "no sound server (source scripts/sound-server.sh; start_sound_server)";
  }

  const char* sink = std::getenv("QUIMBEL_TEST_SINK");
  diagnostics::LogCapture log;
  ManualClock clock;
  ManualMainThread mainThread{clock};
  PortAudioBackend backend;
};

TEST_F(RealSoundTest, AChordPlayedThroughTheSoundServerIsRecordedWithItsPitches) {
  Recorder recorder(sink, std::filesystem::temp_directory_path() /
                              ("quimbel-real-sound-" + std::to_string(getpid()) + ".raw"));
  ASSERT_TRUE(recorder.started()) << "parec did not start";
  ASSERT_TRUE(waitFor([&] { return recorder.hasData(); }, 5.0)) << "the monitor stays mute";
  double latencyMs = 0.0, cpuLoad = 0.0;
  {
    PianoEngine engine(mainThread, backend, installPianoSamples);
    engine.start();
    ASSERT_TRUE(engine.running()) << ::testing::PrintToString(log.lines());
    EXPECT_TRUE(log.contains("[audio] started at 48000 Hz"));
    latencyMs = engine.latencyMs();
    EXPECT_GT(latencyMs, 0.0);

    const std::int64_t from = engine.now(), rate = static_cast<std::int64_t>(engine.rate());
    for (std::uint32_t note : {60, 64, 67})
      engine.noteOn(note, note == 60 ? 1 : NoTag, 100, 0.7f, 0.0, 1.9);
    ASSERT_TRUE(waitFor([&] { return engine.now() > from + rate / 2; }, 10.0));
    cpuLoad = backend.cpuLoad();
    ASSERT_TRUE(waitFor([&] { return engine.now() > from + rate * 3 / 2; }, 10.0));
    cpuLoad = std::max(cpuLoad, backend.cpuLoad());
    const auto started = engine.started();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].tag, 1);
    EXPECT_GE(started[0].frame, from);
  }
  // Leave the server time to pass the last buffers on to the monitor.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::vector<float> left = recorder.stop();
  std::printf("latencyMs %.1f, audio thread busy %.2f %% of real time\n", latencyMs,
              cpuLoad * 100.0);
  RecordProperty("latencyMs", std::to_string(latencyMs));
  RecordProperty("cpuLoadPercent", std::to_string(cpuLoad * 100.0));

  std::size_t onset = 0;
  while (onset < left.size() && std::fabs(left[onset]) < 0.01f) ++onset;
  const std::size_t from = onset + 4800;
  ASSERT_GT(left.size(), from + 24000) << "no chord in " << left.size() << " recorded frames";
  const auto window = std::span<const float>(left).subspan(from, 24000);

  // Each note of the chord stands far above the semitones between them.
  double weakestChordNote = 1e300, strongestOther = 0.0;
  for (int note = 58; note <= 69; ++note) {
    const double level =
        testing::magnitudeAt(window, 48000, 440.0 * std::pow(2.0, (note - 69) / 12.0));
    if (note == 60 || note == 64 || note == 67) {
      weakestChordNote = std::min(weakestChordNote, level);
    } else {
      strongestOther = std::max(strongestOther, level);
    }
  }
  EXPECT_GT(weakestChordNote, std::sqrt(30.0) * strongestOther)
      << "weakest chord note " << weakestChordNote << ", strongest other " << strongestOther;
}

TEST_F(RealSoundTest, WithoutTheSoundServerTheStartFailsAndALaterRetryPlays) {
  PianoEngine engine(mainThread, backend, [](RenderCore*, double) {});
  // The sound server's clients look for it here first.
  setenv("PULSE_SERVER", "unix:/nonexistent/quimbel-no-server", 1);
  engine.ensureRunning();
  unsetenv("PULSE_SERVER");
  EXPECT_FALSE(engine.running());
  EXPECT_TRUE(log.contains("[audio] didn't start: ")) << ::testing::PrintToString(log.lines());
  EXPECT_EQ(engine.latencyMs(), 0.0);

  engine.ensureRunning();
  ASSERT_TRUE(engine.running()) << ::testing::PrintToString(log.lines());
  EXPECT_TRUE(log.contains("[audio] started at 48000 Hz"));
  EXPECT_TRUE(waitFor([&] { return engine.now() > 4800; }, 5.0));
}

}  // namespace
}  // namespace quimbel

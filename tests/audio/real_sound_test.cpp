// Plays a chord through the whole output path (engine host, PortAudio, ALSA,
// the sound server) and listens to what the server's null sink received.
// scripts/test starts the server and names its sink in QUIMBEL_TEST_SINK.

#include <dlfcn.h>
#include <glob.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "audio/audio_fixtures.h"
#include "audio/piano_engine.h"
#include "audio/portaudio_backend.h"
#include "diagnostics/manual_main_thread.h"
#include "diagnostics/report.h"

namespace quimbel {
namespace {

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
  ASSERT_FALSE(sampleLibrary().empty()) << "no piano in QUIMBEL_DATA_DIR";
  // parec records the sink's monitor for four seconds as float stereo at
  // 48000 Hz; a thread keeps the left channel.
  FILE* parec = popen(("exec timeout -s INT 4 parec --device=" + std::string(sink) +
                       ".monitor --rate=48000 --channels=2 --format=float32le --latency-msec=20")
                          .c_str(),
                      "r");
  ASSERT_NE(parec, nullptr);
  std::vector<float> left;
  std::atomic<bool> heard = false;
  std::jthread recorder([&] {
    for (float frame[2]; std::fread(frame, sizeof frame, 1, parec) == 1; heard = true)
      left.push_back(frame[0]);
    pclose(parec);
  });
  ASSERT_TRUE(waitFor([&] { return heard.load(); }, 3.0)) << "the monitor stays mute";
  {
    PianoEngine engine(mainThread, backend, installPianoSamples);
    engine.start();
    ASSERT_TRUE(engine.running()) << ::testing::PrintToString(log.lines());
    EXPECT_TRUE(log.contains("[audio] started at 48000 Hz"));
    EXPECT_GT(engine.latencyMs(), 0.0);
    const auto end = engine.now() + static_cast<std::int64_t>(engine.rate() * 1.5);
    for (std::uint32_t note : {60, 64, 67}) engine.noteOn(note, NoTag, 100, 0.7f, 0.0, 1.9);
    ASSERT_TRUE(waitFor([&] { return engine.now() > end; }, 10.0));
    std::printf("latencyMs %.1f, audio thread busy %.2f %% of real time\n", engine.latencyMs(),
                backend.cpuLoad() * 100.0);
  }
  recorder.join();
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

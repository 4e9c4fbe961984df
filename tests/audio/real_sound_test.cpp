// The engine host against a real sound server (PortAudio, ALSA, the server's
// null sink, which scripts/test starts and names in QUIMBEL_TEST_SINK): a
// start without the server fails and a later retry plays. That chords come
// out of the speakers with their pitches is heard by the desktop session
// (tests/desktop), through the installed program.

#include <dlfcn.h>
#include <glob.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "audio/piano_engine.h"
#include "audio/portaudio_backend.h"
#include "base/manual_main_thread.h"
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
  EXPECT_GT(engine.latencyMs(), 0.0);
  EXPECT_TRUE(waitFor([&] { return engine.now() > 4800; }, 5.0));
}

}  // namespace
}  // namespace quimbel

#include "audio/piano_engine.h"

#include <gtest/gtest.h>

#include "audio/audio_fixtures.h"
#include "audio/core/midi_chord_map.h"
#include "audio/on_demand_backend.h"
#include "base/manual_main_thread.h"

namespace quimbel {
namespace {

// A one-second sine at note 60, so that every note finds a sample quickly.
void installTone(RenderCore* core, double rate) {
  const std::vector<float> tone = testing::sine(261.63, rate, 1.0);
  freeSample(installSample(core, 60, makeSample(tone.data(), nullptr, int(tone.size()))));
}

float peak(const std::vector<float>& samples) {
  float top = 0.0f;
  for (float x : samples) top = std::max(top, std::fabs(x));
  return top;
}

class PianoEngineTest : public ::testing::Test {
 protected:
  PianoEngineTest() : mainThread(clock), engine(mainThread, backend, installTone) {}
  ~PianoEngineTest() override { setMidiEngine(nullptr); }

  ManualClock clock;
  ManualMainThread mainThread;
  OnDemandBackend backend;
  PianoEngine engine;
};

TEST_F(PianoEngineTest, WithoutADeviceNotesWaitAndALaterEnsureRunningPlaysThem) {
  backend.setStartFailure("Device unavailable");
  engine.ensureRunning();
  engine.noteOn(60, 7, 90, 1.0f, 0.0, 1.0);
  EXPECT_FALSE(backend.pull(256));

  backend.setStartFailure(std::nullopt);
  engine.ensureRunning();
  ASSERT_TRUE(backend.pull(4800));
  EXPECT_GT(peak(backend.left()), 0.01f);
  const auto started = engine.started();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].tag, 7);
}

// A restart at the same rate keeps the core and its clock. Then the stream
// ends by itself (the device went away) and comes back at another rate: the
// rebuild on the main thread makes a new core that keeps the tempo, and frees
// the old core two seconds later. That the new core takes the MIDI
// keyboard's chords, swap after swap, is midi_input_concurrency_test's.
TEST_F(PianoEngineTest, ARestartKeepsTheCoreButARateChangeSwapsItAndFreesTheOldOneTwoSecondsLater) {
  engine.setBpm(90);
  engine.start();
  RenderCore* old = engine.core();
  ASSERT_TRUE(backend.pull(4800));
  engine.start();
  EXPECT_EQ(engine.core(), old);
  EXPECT_EQ(backend.streamsOpen(), 1);
  EXPECT_EQ(engine.now(), 4800);

  backend.setDeviceRate(44100);
  ASSERT_TRUE(backend.endStream());
  mainThread.runPending();
  EXPECT_NE(engine.core(), old);
  EXPECT_EQ(backend.renderingCore(), engine.core()) << "running the new core";

  engine.startMetronome(0, 0.0);
  ASSERT_TRUE(backend.pull(128));
  EXPECT_EQ(engine.nextBeatFrame(), 29400) << "60 / 90 s at 44100 Hz";

  mainThread.advance(1999.0);
  EXPECT_EQ(engine.retiredCoreCount(), 1);
  mainThread.advance(1.0);
  EXPECT_EQ(engine.retiredCoreCount(), 0);
}

TEST_F(PianoEngineTest, SettingsMadeBeforeTheFirstStartReachTheFirstCore) {
  auto play = [&](bool metronome) {
    OnDemandBackend device;
    PianoEngine fresh(mainThread, device, installTone);
    fresh.setBpm(90);
    fresh.setVolume(0.0f);
    fresh.setMetronome(metronome);
    fresh.start();
    fresh.startMetronome(0, 0.0);
    fresh.noteOn(60, NoTag, 100, 1.0f, 0.0, 1.0);
    EXPECT_TRUE(device.pull(4800));
    EXPECT_EQ(fresh.nextBeatFrame(), 32000);
    return peak(device.left());
  };
  EXPECT_LT(play(false), 1e-6f) << "volume 0 silences the piano";
  EXPECT_GT(play(true), 0.01f) << "the metronome's clicks bypass the volume";
}

TEST_F(PianoEngineTest, EndReportsAndRetiredCoresOutliveTheEngineHarmlessly) {
  OnDemandBackend device;
  {
    PianoEngine shortLived(mainThread, device, installTone);
    shortLived.start();
    device.setDeviceRate(96000);
    shortLived.start();
    ASSERT_EQ(shortLived.retiredCoreCount(), 1);
    ASSERT_TRUE(device.endStream());
  }
  EXPECT_EQ(device.streamsOpen(), 0);
  mainThread.advance(3000.0);
  EXPECT_EQ(device.streamsMade(), 2);
}

}  // namespace
}  // namespace quimbel

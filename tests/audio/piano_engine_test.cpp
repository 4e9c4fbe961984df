#include "audio/piano_engine.h"

#include <gtest/gtest.h>

#include "audio/audio_fixtures.h"
#include "audio/core/midi_chord_map.h"
#include "audio/on_demand_backend.h"
#include "diagnostics/manual_main_thread.h"
#include "diagnostics/report.h"

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
  diagnostics::LogCapture log;
  PianoEngine engine;
};

TEST_F(PianoEngineTest, NoDeviceIsLoggedAndALaterEnsureRunningPlaysWhatWaited) {
  backend.setStartFailure("Device unavailable");
  engine.ensureRunning();
  EXPECT_FALSE(engine.running());
  EXPECT_TRUE(log.contains("[audio] didn't start: Device unavailable"));
  EXPECT_FALSE(log.contains("[audio] started"));
  EXPECT_EQ(engine.latencyMs(), 0.0);
  ASSERT_NE(engine.core(), nullptr);
  engine.noteOn(60, 7, 90, 1.0f, 0.0, 1.0);
  EXPECT_FALSE(backend.pull(256));

  backend.setStartFailure(std::nullopt);
  backend.setLatencyMs(12.5);
  engine.ensureRunning();
  EXPECT_TRUE(engine.running());
  EXPECT_TRUE(log.contains("[audio] started at 48000 Hz"));
  EXPECT_EQ(engine.latencyMs(), 12.5);
  ASSERT_TRUE(backend.pull(4800));
  EXPECT_GT(peak(backend.left()), 0.01f);
  const auto started = engine.started();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].tag, 7);
}

TEST_F(PianoEngineTest, RestartsAtOneRateKeepTheCoreAndItsClock) {
  engine.start();
  RenderCore* first = engine.core();
  ASSERT_TRUE(backend.pull(1000));
  engine.start();
  EXPECT_EQ(engine.core(), first);
  EXPECT_EQ(backend.streamsOpen(), 1);
  EXPECT_EQ(engine.now(), 1000);
  EXPECT_EQ(engine.retiredCoreCount(), 0);
}

// The stream ends by itself (the device went away) and comes back at
// another rate: the rebuild on the main thread makes a new core that keeps
// the tempo and takes the MIDI keyboard's chords, and frees the old core
// two seconds later.
TEST_F(PianoEngineTest, ARateChangeSwapsTheCoreAndFreesTheOldOneTwoSecondsLater) {
  mapNoteToPad(60, 0);
  const std::int32_t chord[] = {60, 64, 67};
  setPadChord(0, 0, chord, 3);
  setChordFlags(false, false, false);
  engine.setBpm(90);
  engine.start();
  RenderCore* old = engine.core();
  ASSERT_TRUE(backend.pull(4800));

  backend.setDeviceRate(44100);
  ASSERT_TRUE(backend.endStream());
  EXPECT_FALSE(engine.running());
  mainThread.runPending();
  EXPECT_NE(engine.core(), old);
  EXPECT_EQ(backend.renderingCore(), engine.core()) << "running the new core";
  EXPECT_TRUE(log.contains("[audio] started at 44100 Hz"));

  engine.startMetronome(0, 0.0);
  EXPECT_EQ(midiNoteOn(60, 100), 0);
  ASSERT_TRUE(backend.pull(128));
  EXPECT_EQ(engine.nextBeatFrame(), 29400) << "60 / 90 s at 44100 Hz";
  const auto started = engine.started();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].tag, -1);

  EXPECT_EQ(engine.retiredCoreCount(), 1);
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

TEST_F(PianoEngineTest, StartedHandsOutAtMostSixtyFourNoticesInQueueOrder) {
  engine.start();
  for (int tag = 0; tag < 70; ++tag) {
    engine.noteOn(60, tag, 100, 0.01f, 0.0, 0.1);
    if (tag % 20 == 19) {
      ASSERT_TRUE(backend.pull(128));
    }
  }
  ASSERT_TRUE(backend.pull(128));
  auto notices = engine.started();
  ASSERT_EQ(notices.size(), 64u);
  const auto rest = engine.started();
  ASSERT_EQ(rest.size(), 6u);
  notices.insert(notices.end(), rest.begin(), rest.end());
  for (int i = 0; i < 70; ++i) EXPECT_EQ(notices[static_cast<std::size_t>(i)].tag, i);
  EXPECT_TRUE(engine.started().empty());
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

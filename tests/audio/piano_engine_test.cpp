#include "audio/piano_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "audio/core/midi_chord_map.h"
#include "audio/manual_main_thread.h"
#include "audio/on_demand_backend.h"
#include "diagnostics/report.h"

namespace quimbel {
namespace {

// A one-second sine at note 60, so that every note finds a sample quickly.
void installTone(RenderCore* core, double rate) {
  const int frames = static_cast<int>(rate);
  std::vector<float> tone(static_cast<std::size_t>(frames));
  for (int i = 0; i < frames; ++i) {
    tone[static_cast<std::size_t>(i)] =
        static_cast<float>(0.5 * std::sin(2 * M_PI * 261.63 * i / rate));
  }
  freeSample(installSample(core, 60, makeSample(tone.data(), nullptr, frames)));
}

float peak(const std::vector<float>& samples, std::size_t from = 0) {
  float top = 0.0f;
  for (std::size_t i = from; i < samples.size(); ++i) top = std::max(top, std::fabs(samples[i]));
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

TEST_F(PianoEngineTest, NoDeviceIsLoggedAndALaterEnsureRunningRetries) {
  backend.setStartFailure("Device unavailable");
  engine.ensureRunning();
  EXPECT_FALSE(engine.running());
  EXPECT_TRUE(log.contains("[audio] didn't start: Device unavailable"));
  EXPECT_FALSE(log.contains("[audio] started"));
  EXPECT_EQ(engine.latencyMs(), 0.0);

  // The program carries on: a chord played meanwhile waits in the queue.
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
  auto started = engine.started();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].tag, 7);
  EXPECT_EQ(started[0].velocity, 90);
}

TEST_F(PianoEngineTest, RestartsAtOneRateKeepTheCoreAndItsClock) {
  engine.start();
  RenderCore* first = engine.core();
  ASSERT_TRUE(backend.pull(1000));
  EXPECT_EQ(engine.now(), 1000);

  engine.start();
  EXPECT_EQ(engine.core(), first);
  EXPECT_EQ(backend.streamsMade(), 2);
  EXPECT_EQ(backend.streamsOpen(), 1);
  EXPECT_EQ(engine.now(), 1000);
  ASSERT_TRUE(backend.pull(500));
  EXPECT_EQ(engine.now(), 1500);
  EXPECT_EQ(engine.retiredCoreCount(), 0);
}

TEST_F(PianoEngineTest, StoppingLeavesTheCoreWaitingWithItsCommands) {
  engine.start();
  ASSERT_TRUE(backend.pull(640));
  RenderCore* core = engine.core();
  engine.stop();
  EXPECT_FALSE(engine.running());
  engine.noteOn(60, 3, 100, 1.0f, 0.0, 1.0);
  EXPECT_FALSE(backend.pull(640));
  EXPECT_EQ(engine.now(), 640);

  engine.ensureRunning();
  EXPECT_EQ(engine.core(), core);
  ASSERT_TRUE(backend.pull(128));
  auto started = engine.started();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].frame, 640);
}

TEST_F(PianoEngineTest, AStreamThatEndsByItselfIsRebuiltOnTheMainThread) {
  engine.start();
  ASSERT_TRUE(backend.pull(256));
  ASSERT_TRUE(backend.endStream());
  EXPECT_FALSE(engine.running());
  mainThread.runPending();
  EXPECT_TRUE(engine.running());
  EXPECT_EQ(backend.streamsMade(), 2);
  ASSERT_TRUE(backend.pull(256));
  EXPECT_EQ(engine.now(), 512);
}

TEST_F(PianoEngineTest, ARateChangeSwapsTheCoreAndFreesTheOldOneTwoSecondsLater) {
  engine.setBpm(90);
  engine.start();
  RenderCore* old = engine.core();
  ASSERT_TRUE(backend.pull(4800));

  backend.setDeviceRate(44100);
  ASSERT_TRUE(backend.endStream());
  mainThread.runPending();
  EXPECT_NE(engine.core(), old);
  EXPECT_EQ(engine.rate(), 44100.0);
  EXPECT_EQ(engine.now(), 0);
  EXPECT_EQ(backend.renderingCore(), engine.core());
  EXPECT_TRUE(log.contains("[audio] started at 44100 Hz"));

  // The tempo carries over into the new core: 60 / 90 s at 44100 Hz.
  engine.startMetronome(0, 0.0);
  ASSERT_TRUE(backend.pull(128));
  EXPECT_EQ(engine.nextBeatFrame(), 29400);

  EXPECT_EQ(engine.retiredCoreCount(), 1);
  mainThread.advance(1999.0);
  EXPECT_EQ(engine.retiredCoreCount(), 1);
  mainThread.advance(1.0);
  EXPECT_EQ(engine.retiredCoreCount(), 0);
}

TEST_F(PianoEngineTest, DirectMidiChordsFollowTheNewCore) {
  mapNoteToPad(60, 0);
  const std::int32_t chord[] = {60, 64, 67};
  setPadChord(0, 0, chord, 3);
  setChordFlags(false, false, false);
  engine.start();
  backend.setDeviceRate(44100);
  engine.start();
  backend.clearOutput();

  EXPECT_EQ(midiNoteOn(60, 100), 0);
  ASSERT_TRUE(backend.pull(4410));
  EXPECT_GT(peak(backend.left()), 0.01f);
  auto started = engine.started();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].tag, -1);
}

struct EarlySetting {
  const char* rule;
  void (*apply)(PianoEngine&);
  void (*check)(PianoEngine&, OnDemandBackend&);
};

TEST_F(PianoEngineTest, SettingsMadeBeforeTheFirstStartReachTheFirstCore) {
  const EarlySetting cases[] = {
      {"tempo sets the beat length", [](PianoEngine& e) { e.setBpm(90); },
       [](PianoEngine& e, OnDemandBackend&) { EXPECT_EQ(e.nextBeatFrame(), 32000); }},
      {"volume 0 silences the piano", [](PianoEngine& e) { e.setVolume(0.0f); },
       [](PianoEngine&, OnDemandBackend& b) { EXPECT_LT(peak(b.left()), 1e-6f); }},
      // Clicks bypass the volume, so only the metronome can be heard here.
      {"metronome on makes beats after the count-in",
       [](PianoEngine& e) {
         e.setVolume(0.0f);
         e.setMetronome(true);
       },
       [](PianoEngine&, OnDemandBackend& b) { EXPECT_GT(peak(b.left()), 0.01f); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    OnDemandBackend device;
    PianoEngine fresh(mainThread, device, installTone);
    c.apply(fresh);
    fresh.start();
    fresh.startMetronome(0, 0.0);
    fresh.noteOn(60, NoTag, 100, 1.0f, 0.0, 1.0);
    ASSERT_TRUE(device.pull(4800));
    c.check(fresh, device);
  }
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
  auto first = engine.started();
  auto rest = engine.started();
  ASSERT_EQ(first.size(), 64u);
  ASSERT_EQ(rest.size(), 6u);
  for (int i = 0; i < 70; ++i) {
    const StartedNote& note =
        i < 64 ? first[static_cast<std::size_t>(i)] : rest[static_cast<std::size_t>(i - 64)];
    EXPECT_EQ(note.tag, i);
  }
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

// Counts every allocation and free made while render runs.

#include <gtest/gtest.h>

#include "audio/core/core_fixture.h"
#include "audio/core/midi_chord_map.h"
#include "audio/fake_jack_server.h"
#include "audio/jack_backend.h"
#include "audio/piano_engine.h"
#include "base/manual_main_thread.h"
#include "counting_allocator.h"

namespace quimbel {
namespace {

// A short tone on every third note: every note finds a sample near it.
void installTones(RenderCore* core, double) {
  for (std::uint32_t note = 21; note <= 108; note += 3)
    freeSample(installSample(core, note, testing::toneSample(220.0, 24000)));
}

void renderCounted(RenderCore* core, int blocks) {
  float l[128], r[128];
  counting = true;
  for (int b = 0; b < blocks; ++b) render(core, l, r, 128);
  counting = false;
}

TEST(AllocationTest, RenderNeverAllocatesOrFrees) {
  ASSERT_EQ(countedNewAndDelete(), countsAllocations ? 2 : 0);

  testing::CorePtr core(createCore(48000.0));
  RenderCore* c = core.get();
  installTones(c, 48000.0);
  const std::int32_t chord[] = {60, 64, 67, 71};
  for (std::uint32_t n = 0; n < 128; ++n) {
    mapNoteToPad(n, n % 12 < 7 ? n % 12 : 255);
    if (n < 28) setPadChord(n / 4, int(n % 4), chord, 3 + int(n % 2));
  }
  setMidiEngine(c);
  setMidiOut(c, true, 3);  // every note is reported as MIDI too
  setMetronomeOn(c, 1);
  setBPM(c, 240.0);
  StartedNote notices[CoreQueueCapacity];

  // Count-in and metronome, then more than 64 notes so that voices are
  // stolen, scheduled notes and release-alls, direct MIDI chords, volume
  // glides, and notes ending on their own.
  startMetronome(c, 4, 0.01);
  renderCounted(c, 40);
  for (int i = 0; i < 80; ++i) noteOn(c, 40 + i % 40, i, 100, 0.3f, i * 0.001, 0.2);
  renderCounted(c, 40);
  for (int i = 0; i < 30; ++i)
    scheduleNote(c, 50 + i, currentFrame(c) + 100 + i * 333, LoopTagBase + i, 90, 0.2f, 0.3);
  scheduleReleaseAll(c, currentFrame(c) + 5000);
  renderCounted(c, 100);
  for (std::uint32_t i = 0; i < 20; ++i) midiNoteOn(48 + i, 30 + int(i) * 4), renderCounted(c, 3);
  setChordFlags(true, true, false);
  midiNoteOn(60, 100);
  releaseAll(c);
  setVolume(c, 0.2f);
  renderCounted(c, 50);
  stopMetronome(c);
  clearScheduled(c);
  drainStarted(c, notices, CoreQueueCapacity);
  EXPECT_FALSE(reverbIdle(core->reverb));
  // Long enough for every voice to end and the reverb to fall idle.
  renderCounted(c, 2000);
  EXPECT_EQ(testing::soundingVoices(c) + testing::soundingVoices(c, true), 0);
  EXPECT_TRUE(reverbIdle(core->reverb));
  noteOn(c, 60, 1, 100, 0.5f, 0.0, 0.1);
  renderCounted(c, 200);
  setMidiEngine(nullptr);
  EXPECT_EQ(allocations.load(), 0);
}

// The JACK backend's process callback, at every period a server may use,
// with chords, scheduled notes and voice stealing under way.
TEST(AllocationTest, TheJackProcessCallbackNeverAllocatesOrFrees) {
  ManualClock clock;
  ManualMainThread mainThread(clock);
  testing::FakeJackServer server;
  JackBackend backend(server);
  PianoEngine engine(mainThread, backend, installTones);
  engine.setMidiOut(4);  // the notes leave on midi_out too
  server.midiOut.reserve(1 << 16);
  long seen = 0;
  for (std::uint32_t period : {16u, 64u, 128u, 1000u, 4096u}) {
    server.changeFormat(48000.0, period);
    mainThread.runPending();
    engine.ensureRunning();
    for (int i = 0; i < 70; ++i) engine.noteOn(30 + i, i, 100, 0.2f, i * 0.0005, 0.3);
    engine.scheduleNote(72, engine.now() + 700, LoopTagBase, 90, 0.3f, 0.2);
    engine.scheduleReleaseAll(engine.now() + 9000);
    server.midiIn = {{3, 3, {0x90, 60, 90}}, {9, 3, {0x80, 60, 0}}};
    counting = true;
    for (int cycle = 0; cycle < 40; ++cycle) seen += server.cycle() ? 1 : 0;
    counting = false;
    engine.started();
  }
  EXPECT_EQ(seen, 200) << "every period went through the callback";
  EXPECT_EQ(allocations.load(), 0);
}

}  // namespace
}  // namespace quimbel

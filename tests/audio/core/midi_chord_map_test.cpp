#include "audio/core/midi_chord_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "audio/core/core_fixture.h"

namespace quimbel {
namespace {

using CorePtr = std::unique_ptr<RenderCore, testing::CoreDeleter>;

TEST(MidiChordMapTest, VelocityGainSpansThirtyDecibels) {
  struct Case {
    int velocity;
    float gain;
  };
  for (const Case& c : {Case{127, 1.0f}, Case{200, 1.0f}, Case{1, 0.0316228f}, Case{0, 0.0316228f},
                        Case{-5, 0.0316228f}, Case{100, 0.4771f}, Case{64, 0.17783f}}) {
    EXPECT_NEAR(velocityGain(c.velocity), c.gain, 1e-4f) << c.velocity;
  }
}

class MidiChordMapCoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    core.reset(createCore(48000.0));
    for (int note = 40; note <= 80; note += 2) {
      freeSample(installSample(core.get(), static_cast<std::uint32_t>(note),
                               testing::constantSample(0.1f, 48000)));
    }
    for (std::uint32_t n = 0; n < 128; ++n) mapNoteToPad(n, 255);
    const std::int32_t triad[] = {60, 64, 67};
    const std::int32_t seventh[] = {60, 64, 67, 70};
    for (std::uint32_t pad = 0; pad < 7; ++pad) {
      setPadChord(pad, 0, triad, 3);
      setPadChord(pad, 1, seventh, 4);
      setPadChord(pad, 2, nullptr, 0);
      setPadChord(pad, 3, seventh, 4);
    }
    setChordFlags(false, false, false);
    setMidiEngine(core.get());
  }
  void TearDown() override { setMidiEngine(nullptr); }

  std::vector<StartedNote> renderAndDrain() {
    testing::renderFrames(core.get(), 128);
    StartedNote notes[64];
    const int n = drainStarted(core.get(), notes, 64);
    return {notes, notes + n};
  }

  CorePtr core;
};

TEST_F(MidiChordMapCoreTest, MappedNotePlaysItsPadsChordInTheCore) {
  mapNoteToPad(62, 1);
  EXPECT_EQ(midiNoteOn(62, 100), 1);
  const auto started = renderAndDrain();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].tag, -2);
  EXPECT_EQ(started[0].velocity, 100);
  EXPECT_EQ(testing::soundingVoices(core.get()), 3);
  EXPECT_FLOAT_EQ(core->voices[0].gain, velocityGain(100) * 0.7f);
  EXPECT_EQ(core->voices[0].releaseFrame - core->voices[0].startFrame, 91200);  // 1.9 s
}

TEST_F(MidiChordMapCoreTest, ChordFlagsChooseTheVariant) {
  mapNoteToPad(60, 0);
  setChordFlags(true, false, false);
  midiNoteOn(60, 127);
  renderAndDrain();
  EXPECT_EQ(testing::soundingVoices(core.get()), 4);
  EXPECT_FLOAT_EQ(core->voices[0].gain, 0.7f / std::sqrt(4.0f / 3.0f));
  // Ninths alone hold an empty chord here: nothing is released or started.
  setChordFlags(false, true, false);
  midiNoteOn(60, 127);
  EXPECT_TRUE(renderAndDrain().empty());
  for (int v = 0; v < 4; ++v) EXPECT_EQ(core->voices[v].envelopeMultiplier, 1.0f) << v;
}

TEST_F(MidiChordMapCoreTest, NotesOutsideTheMapOrWhileStrummingLeaveTheCoreAlone) {
  mapNoteToPad(60, 0);
  mapNoteToPad(61, 7);  // no such pad
  EXPECT_EQ(midiNoteOn(61, 100), -1);
  EXPECT_EQ(midiNoteOn(59, 100), -1);
  EXPECT_EQ(midiNoteOn(128, 100), -1);
  setChordFlags(false, false, true);
  EXPECT_EQ(midiNoteOn(60, 100), 0);
  EXPECT_TRUE(renderAndDrain().empty());
  EXPECT_EQ(testing::soundingVoices(core.get()), 0);
}

TEST_F(MidiChordMapCoreTest, ChordsKeepAtMostSevenNotes) {
  const std::int32_t many[] = {48, 52, 55, 59, 62, 65, 69, 72, 76};
  setPadChord(2, 4, many, 9);  // variant 4 is variant 0
  setPadChord(9, 0, many, 9);  // no such pad: ignored
  mapNoteToPad(64, 2);
  midiNoteOn(64, 127);
  renderAndDrain();
  EXPECT_EQ(testing::soundingVoices(core.get()), 7);
}

TEST_F(MidiChordMapCoreTest, DestroyedEngineIsForgotten) {
  mapNoteToPad(60, 0);
  core.reset();
  EXPECT_EQ(midiNoteOn(60, 100), 0);  // reaches no core, and does not crash
}

}  // namespace
}  // namespace quimbel

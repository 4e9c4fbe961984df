#include "audio/core/midi_chord_map.h"

#include <gtest/gtest.h>

#include <cmath>

#include "audio/core/core_fixture.h"

namespace quimbel {
namespace {

using testing::soundingVoices;

TEST(MidiChordMapTest, VelocityGainSpansThirtyDecibels) {
  for (const auto& [velocity, gain] :
       {std::pair{127, 1.0f}, {200, 1.0f}, {1, 0.0316228f}, {-5, 0.0316228f}, {100, 0.4771f}})
    EXPECT_NEAR(velocityGain(velocity), gain, 1e-4f) << velocity;
}

TEST(MidiChordMapTest, MappedNotesPlayTheirPadsChordInTheCore) {
  testing::CorePtr core(createCore(48000.0));
  for (std::uint32_t note = 40; note <= 80; note += 2)
    freeSample(installSample(core.get(), note, testing::constantSample(0.1f, 48000)));
  for (std::uint32_t n = 0; n < 128; ++n) mapNoteToPad(n, 255);
  const std::int32_t triad[] = {60, 64, 67}, seventh[] = {60, 64, 67, 70};
  const std::int32_t many[] = {48, 52, 55, 59, 62, 65, 69, 72, 76};
  setPadChord(1, 0, triad, 3);
  setPadChord(1, 1, seventh, 4);
  setPadChord(1, 2, nullptr, 0);
  setPadChord(2, 4, many, 9);  // variant 4 is variant 0
  setPadChord(9, 0, many, 9);  // no such pad: ignored
  setChordFlags(false, false, false);
  setMidiEngine(core.get());
  const auto renderAndDrain = [&] {
    testing::renderFrames(core.get(), 128);
    StartedNote notes[64];
    return std::vector<StartedNote>(notes, notes + drainStarted(core.get(), notes, 64));
  };

  mapNoteToPad(62, 1);
  mapNoteToPad(61, 7);  // no such pad
  EXPECT_EQ(midiNoteOn(62, 100), 1);
  const auto started = renderAndDrain();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].tag, -2);
  EXPECT_EQ(started[0].velocity, 100);
  EXPECT_EQ(soundingVoices(core.get()), 3);
  EXPECT_FLOAT_EQ(core->voices[0].gain, velocityGain(100) * 0.7f);
  EXPECT_EQ(core->voices[0].releaseFrame - core->voices[0].startFrame, 91200);  // 1.9 s
  for (std::uint32_t note : {61u, 59u, 128u}) EXPECT_EQ(midiNoteOn(note, 100), -1) << note;

  // Sevenths: four notes, each quieter; ninths alone hold an empty chord
  // here and strumming is left to the main thread: neither touches the core.
  setChordFlags(true, false, false);
  midiNoteOn(62, 127);
  renderAndDrain();
  EXPECT_EQ(soundingVoices(core.get()), 7);
  EXPECT_FLOAT_EQ(core->voices[3].gain, 0.7f / std::sqrt(4.0f / 3.0f));
  for (const auto& [ninth, strum] : {std::pair{true, false}, {false, true}}) {
    setChordFlags(false, ninth, strum);
    EXPECT_EQ(midiNoteOn(62, 127), 1);
    EXPECT_TRUE(renderAndDrain().empty());
    EXPECT_EQ(core->voices[3].envelopeMultiplier, 1.0f);
  }

  setChordFlags(false, false, false);
  mapNoteToPad(64, 2);
  releaseAll(core.get());
  testing::renderFrames(core.get(), 48000);
  midiNoteOn(64, 127);
  renderAndDrain();
  EXPECT_EQ(soundingVoices(core.get()), 7);  // at most seven notes
  core.reset();
  EXPECT_EQ(midiNoteOn(64, 100), 2);  // reaches no core, and does not crash
}

}  // namespace
}  // namespace quimbel

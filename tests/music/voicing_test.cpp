#include "music/voicing.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "music/chords.h"

namespace quimbel {
namespace {

using Chords::Key;
using Chords::Mode;
using Notes = std::vector<int>;

constexpr Key kC{0, Mode::major};
constexpr Key kAm{9, Mode::minor};

TEST(ChordNotesTest, WorkedVoicings) {
  const struct {
    Key key;
    int pad, inversion;
    bool seventh, ninth, bass;
    Notes notes;
  } cases[] = {
      // clang-format off
      {kC, 0, -1, false, false, true, {36, 43, 48, 52}}, {kC, 1, -1, false, false, true, {38, 45, 50, 53}},
      {kC, 2, -1, false, false, true, {43, 47, 52}},     {kC, 4, -1, false, false, true, {31, 43, 47, 50}},
      {kAm, 0, -1, false, false, true, {33, 40, 45, 48}},
      {kC, 0, 0, false, false, true, {36, 48, 52, 55}},
      // The ninth is a scale step above the octave and always brings the seventh.
      {kC, 0, 0, false, true, false, {48, 52, 55, 59, 62}},
      // A bass exactly 4 below the chord's first note stays out (E2 over C2).
      {kAm, 2, -1, false, false, true, {40, 43, 48}},
      // The spread is measured first to last in sounding order; lowest to
      // highest would pick 49 52 56 54 57 for C# minor's F#m9.
      {{1, Mode::minor}, 3, 0, false, true, true, {45, 49, 52, 56, 54}},
      // clang-format on
  };
  for (const auto& c : cases) {
    EXPECT_EQ(chordNotes(c.pad, c.key, c.inversion, c.seventh, c.ninth, c.bass), c.notes)
        << Chords::keyName(c.key) << " pad " << c.pad;
  }
}

// Over every key, pad, knob position and modifier the chord is the degree's
// chord tones within the rotation limits, and a bass note only ever stands
// clear below an otherwise unchanged chord.
TEST(ChordNotesTest, EveryPadChordHoldsItsTonesInsideTheRange) {
  for (int tonic = 0; tonic < 12; ++tonic)
    for (Mode mode : {Mode::major, Mode::minor})
      for (int inversion = -3; inversion <= 7; ++inversion)
        for (int pad = 0; pad < Chords::kPlayablePads; ++pad)
          for (int flags = 0; flags < 3; ++flags) {
            const bool seventh = flags >= 1, ninth = flags == 2;
            const Notes notes = chordNotes(pad, {tonic, mode}, inversion, seventh, ninth, false);
            SCOPED_TRACE(Chords::keyName({tonic, mode}) + " pad " + std::to_string(pad));
            std::multiset<int> classes, expected;
            for (int n : notes) classes.insert(n % 12);
            for (int step = 0; step < 3 + seventh + ninth; ++step)
              expected.insert((tonic + Chords::scalePitch(pad + (step < 4 ? 2 * step : 1), mode)) %
                              12);
            EXPECT_EQ(classes, expected);
            EXPECT_TRUE(std::ranges::all_of(notes, [](int n) { return n >= 40 && n <= 86; }));
            Notes withBass = chordNotes(pad, {tonic, mode}, inversion, seventh, ninth, true);
            if (withBass.size() > notes.size()) {
              EXPECT_EQ(Notes(withBass.begin() + 1, withBass.end()), notes);
              EXPECT_LT(withBass.front(), notes.front() - 4);
            }
          }
}

TEST(RotateTest, MovesWholeOctavesStopsAtTheLimitsAndDoesNotResort) {
  const Notes c = {48, 52, 55};
  EXPECT_EQ(rotate(c, 3), (Notes{60, 64, 67}));
  Notes up = rotate(c, 20), down = rotate(c, -20);
  EXPECT_TRUE(*std::ranges::max_element(up) <= 86 && up.front() + 12 > 86);
  EXPECT_TRUE(*std::ranges::min_element(down) >= 40 && down.back() - 12 < 40);
  EXPECT_EQ(rotate(Notes{48, 52, 55, 59, 62}, -1), (Notes{50, 48, 52, 55, 59}));
}

TEST(StrumVoicingTest, SpreadsSortedNotesOverHalfABeat) {
  Voicing v = strumVoicing(Notes{50, 48, 52, 55}, 120);
  EXPECT_EQ(v.notes, (Notes{48, 50, 52, 55}));
  ASSERT_EQ(v.offsets.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(v.offsets[i], 0.25 * i / 3, 1e-15);
  EXPECT_NEAR(strumVoicing(Notes{40, 50}, 0.0).offsets[1], 30, 1e-12);
  EXPECT_EQ(strumVoicing(Notes{60}, 120).offsets, (std::vector<double>{0.0}));
}

TEST(LoudnessAndLengthTest, LargerChordsSofterAndLengthsByPrecedence) {
  EXPECT_EQ(chordScale(3), 0.7f);
  EXPECT_NEAR(chordScale(4), 0.606, 5e-4);
  Voicing v = strumVoicing(Notes{48, 52, 55}, 120);  // offsets 0, 0.125, 0.25
  EXPECT_EQ(noteLength(v, 0, 0.03), 0.05);
  v.durations = std::vector<double>{0.4};
  EXPECT_EQ(noteLength(v, 0, 1.0), 0.4);
  EXPECT_DOUBLE_EQ(noteLength(v, 1, 1.0), 0.875);
  EXPECT_EQ(noteLength(v, 2, std::nullopt), 1.9);
}

}  // namespace
}  // namespace quimbel

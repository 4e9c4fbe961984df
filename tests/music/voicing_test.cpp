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

TEST(ChordNotesTest, WorkedVoicingsAtKnobMinusThreeWithBass) {
  const struct {
    Key key;
    int pad;
    Notes notes;
  } cases[] = {
      {kC, 0, {36, 43, 48, 52}}, {kC, 1, {38, 45, 50, 53}},  {kC, 2, {43, 47, 52}},
      {kC, 4, {31, 43, 47, 50}}, {kAm, 0, {33, 40, 45, 48}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(chordNotes(c.pad, c.key, -1, false, false, true), c.notes) << "pad " << c.pad;
  }
}

TEST(ChordNotesTest, TonicChordStacksOnTheRegisterBase) {
  EXPECT_EQ(chordNotes(0, kC, 0, false, false, false), (Notes{48, 52, 55}));
  EXPECT_EQ(chordNotes(0, kC, 0, false, false, true), (Notes{36, 48, 52, 55}));
  // The ninth is a scale step above the octave, not below the root.
  EXPECT_EQ(chordNotes(0, kC, 0, true, true, false), (Notes{48, 52, 55, 59, 62}));
}

// Voice leading weighs the span from the first to the last note of each turned
// list as it stands; measured from the lowest to the highest note instead, C#
// minor's F#m9 would choose 49 52 56 54 57.
TEST(ChordNotesTest, SpreadIsMeasuredInSoundingOrder) {
  const Key cSharpMinor{1, Mode::minor};
  EXPECT_EQ(chordNotes(3, cSharpMinor, 0, false, true, true), (Notes{45, 49, 52, 56, 54}));
}

TEST(ChordNotesTest, BassJoinsOnlyWhenMoreThanFourSemitonesClear) {
  // A minor's C chord at inversion -1 starts on E2 (40); its bass C2 (36) is 4 below.
  EXPECT_EQ(chordNotes(2, kAm, -1, false, false, true),
            chordNotes(2, kAm, -1, false, false, false));
  // C major's B chord at inversion -3 starts on F2 (41); its bass B1 (35) is 6 below.
  Notes withBass = chordNotes(6, kC, -3, false, false, true);
  ASSERT_FALSE(withBass.empty());
  EXPECT_EQ(withBass.front(), 35);
}

// Over every key, pad, knob position and modifier the chord is the degree's
// chord tones (a ninth always with its seventh) within the rotation limits, and a bass note only
// ever stands clear below an otherwise unchanged chord.
TEST(ChordNotesTest, EveryPadChordHoldsItsTonesInsideTheRange) {
  for (int tonic = 0; tonic < 12; ++tonic) {
    for (Mode mode : {Mode::major, Mode::minor}) {
      Key key{tonic, mode};
      for (int inversion = -3; inversion <= 7; ++inversion) {
        for (int pad = 0; pad < Chords::kPlayablePads; ++pad) {
          for (int flags = 0; flags < 3; ++flags) {
            bool seventh = flags >= 1, ninth = flags == 2;
            Notes notes = chordNotes(pad, key, inversion, seventh, ninth, false);
            ASSERT_EQ(notes.size(), 3u + seventh + ninth);
            std::multiset<int> classes, expected;
            for (int n : notes) {
              EXPECT_GE(n, kRotationFloor);
              EXPECT_LE(n, kRotationCeiling);
              classes.insert(n % 12);
            }
            for (int step = 0; step < static_cast<int>(notes.size()); ++step) {
              int degree = pad + (step < 4 ? 2 * step : 1);
              expected.insert((tonic + Chords::scalePitch(degree, mode)) % 12);
            }
            EXPECT_EQ(classes, expected) << Chords::keyName(key) << " pad " << pad;
            Notes withBass = chordNotes(pad, key, inversion, seventh, ninth, true);
            if (withBass.size() > notes.size()) {
              EXPECT_EQ(Notes(withBass.begin() + 1, withBass.end()), notes);
              EXPECT_LT(withBass.front(), notes.front() - 4);
            }
          }
        }
      }
    }
  }
}

TEST(RotateTest, MovesWholeOctavesAndStopsAtTheLimits) {
  const Notes c = {48, 52, 55};
  EXPECT_EQ(rotate(c, 0), c);
  EXPECT_EQ(rotate(c, 3), (Notes{60, 64, 67}));
  EXPECT_EQ(rotate(c, -1), (Notes{43, 48, 52}));
  Notes up = rotate(c, 20);
  EXPECT_TRUE(std::ranges::all_of(up, [](int n) { return n <= 86; }));
  EXPECT_GT(up.front() + 12, 86);
  Notes down = rotate(c, -20);
  EXPECT_TRUE(std::ranges::all_of(down, [](int n) { return n >= 40; }));
  EXPECT_LT(down.back() - 12, 40);
  // A downward turn puts the moved note first without re-sorting.
  EXPECT_EQ(rotate(Notes{48, 52, 55, 59, 62}, -1), (Notes{50, 48, 52, 55, 59}));
  EXPECT_TRUE(rotate(Notes{}, 5).empty());
}

TEST(StrumVoicingTest, SpreadsSortedNotesOverHalfABeat) {
  Voicing v = strumVoicing(Notes{50, 48, 52, 55}, 120);
  EXPECT_EQ(v.notes, (Notes{48, 50, 52, 55}));
  ASSERT_EQ(v.offsets.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(v.offsets[i], 0.25 * i / 3, 1e-15);

  for (double slow : {0.0, -5.0, 1.0})
    EXPECT_NEAR(strumVoicing(Notes{40, 50}, slow).offsets[1], 30, 1e-12);
  EXPECT_EQ(strumVoicing(Notes{60}, 120).offsets, (std::vector<double>{0.0}));
  EXPECT_TRUE(strumVoicing(Notes{}, 120).offsets.empty());
}

TEST(LoudnessTest, LargerChordsPlayEachNoteSofter) {
  for (std::size_t n : {0u, 1u, 2u, 3u}) EXPECT_EQ(chordScale(n), 0.7f);
  EXPECT_NEAR(chordScale(4), 0.606, 5e-4);
  EXPECT_NEAR(chordScale(5), 0.542, 5e-4);
  EXPECT_NEAR(chordScale(6), 0.495, 5e-4);
}

TEST(NoteLengthTest, DurationsThenHitLengthThenDefault) {
  Voicing v = strumVoicing(Notes{48, 52, 55}, 120);  // offsets 0, 0.125, 0.25
  EXPECT_EQ(noteLength(v, 0, std::nullopt), 1.9);
  EXPECT_EQ(noteLength(v, 0, 0.03), 0.05);
  EXPECT_DOUBLE_EQ(noteLength(v, 1, 1.0), 0.875);
  EXPECT_EQ(noteLength(v, 2, 0.2), 0.05);
  v.durations = std::vector<double>{0.4};
  EXPECT_EQ(noteLength(v, 0, 1.0), 0.4);
  EXPECT_DOUBLE_EQ(noteLength(v, 1, 1.0), 0.875);
  EXPECT_EQ(noteLength(v, 2, std::nullopt), 1.9);
}

}  // namespace
}  // namespace quimbel

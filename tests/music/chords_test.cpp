#include "music/chords.h"

#include <gtest/gtest.h>

#include "music/voicing.h"

namespace quimbel::Chords {
namespace {

constexpr Key kC{0, Mode::major};
constexpr Key kAm{9, Mode::minor};

struct NamedPad {
  Key key;
  int pad;
  const char* plain;
  const char* sevenths;
  const char* ninths;
};

// The name must come from the sounding pitch classes alone, so every knob
// position and the bass note leave it unchanged.
TEST(ChordNameTest, PadChordsKeepTheirNameAtEveryInversionWithOrWithoutBass) {
  // clang-format off
  const NamedPad cases[] = {
      {kC, 0, "C", "CM7", "CM9"},     {kC, 1, "Dm", "Dm7", "Dm9"},  {kC, 2, "Em", "Em7", "Em7"},
      {kC, 4, "G", "G7", "G9"},       {kC, 6, "Bdim", "B\u00f8", "B\u00f8"},
      {kAm, 0, "Am", "Am7", "Am9"},   {kAm, 1, "Bdim", "B\u00f8", "B\u00f8"},
      {kAm, 2, "C", "CM7", "CM9"},    {kAm, 6, "G", "G7", "G9"},
      {{3, Mode::major}, 4, "Bb", "Bb7", "Bb9"},
      {{1, Mode::minor}, 1, "D#dim", "D#\u00f8", "D#\u00f8"},
      {{1, Mode::major}, 0, "C#", "C#M7", "C#M9"},
      {{1, Mode::major}, 3, "F#", "F#M7", "F#M9"},
      {{2, Mode::minor}, 5, "Bb", "BbM7", "BbM9"},
  };
  // clang-format on
  for (const auto& c : cases) {
    for (int inversion = -3; inversion <= 7; ++inversion) {
      for (bool bass : {false, true}) {
        SCOPED_TRACE(keyName(c.key) + " pad " + std::to_string(c.pad) + " inversion " +
                     std::to_string(inversion) + (bass ? " bass" : ""));
        auto name = [&](bool seventh, bool ninth) {
          return chordName(c.pad, c.key, chordNotes(c.pad, c.key, inversion, seventh, ninth, bass));
        };
        EXPECT_EQ(name(false, false), c.plain);
        EXPECT_EQ(name(true, false), c.sevenths);
        EXPECT_EQ(name(false, true), c.ninths);
        EXPECT_EQ(name(true, true), c.ninths);
      }
    }
  }
}

// Note lists no pad produces, so each naming rule is seen on its own.
TEST(ChordNameTest, QualitySeventhNinthAndSixthRulesCombine) {
  const struct {
    std::vector<int> notes;
    const char* name;
  } cases[] = {
      // clang-format off
      {{48, 50, 55}, "Csus"},     {{48, 53, 55}, "Csus"},      {{48, 55}, "C"},
      {{48, 52, 55, 57}, "C6"},   {{48, 52, 55, 62}, "Cadd9"}, {{48, 51, 55, 58, 62}, "Cm9"},
      {{48, 51, 54}, "Cdim"},     {{48, 51, 54, 58}, "C\u00f8"}, {{48, 51, 54, 57}, "Cdim"},
      {{48, 52, 55, 57, 62}, "C6add9"}, {{48, 52, 55, 61}, "C"}, {{48, 51, 52, 55}, "C"},
      {{36, 48, 52, 55, 59}, "CM7"},
      // clang-format on
  };
  for (const auto& c : cases) EXPECT_EQ(chordName(0, kC, c.notes), c.name);
}

TEST(ScaleTest, DegreesAndRegister) {
  EXPECT_EQ(scalePitch(7, Mode::major), 12);
  EXPECT_EQ(scalePitch(12, Mode::minor), 20);
  // Every tonic lands on its own pitch class between A2 and G#3.
  for (int tonic = 0; tonic < 12; ++tonic) {
    EXPECT_EQ(tonicNote(tonic), tonic >= 9 ? 36 + tonic : 48 + tonic);
  }
}

TEST(KeyNameTest, SpellsTonicWithTheKeysAccidentals) {
  const struct {
    Key key;
    const char* name;
  } cases[] = {
      // clang-format off
      {kC, "C"}, {kAm, "Am"}, {{6, Mode::minor}, "F#m"}, {{10, Mode::major}, "Bb"},
      {{1, Mode::minor}, "C#m"}, {{1, Mode::major}, "C#"}, {{6, Mode::major}, "F#"},
      {{2, Mode::minor}, "Dm"}, {{3, Mode::minor}, "Ebm"}, {{8, Mode::minor}, "G#m"},
      {{8, Mode::major}, "Ab"}, {{0, Mode::minor}, "Cm"},
      // clang-format on
  };
  for (const auto& c : cases) EXPECT_EQ(keyName(c.key), c.name);
}

TEST(KeyNameTest, ReadsBackEveryKeyAndRejectsOtherText) {
  for (int tonic = 0; tonic < 12; ++tonic) {
    for (Mode mode : {Mode::major, Mode::minor}) {
      Key key{tonic, mode};
      EXPECT_EQ(keyFromName(keyName(key)), key) << keyName(key);
    }
  }
  EXPECT_EQ(keyFromName("Cb"), (Key{11, Mode::major}));
  EXPECT_EQ(keyFromName("E#m"), (Key{5, Mode::minor}));
  for (const char* bad : {"", "H", "c", "C##", "Cmm", "Cmaj", "m", "#", "C m"}) {
    EXPECT_FALSE(keyFromName(bad).has_value()) << bad;
  }
}

TEST(KeyTest, RelativeKeysShareTheirPitchClasses) {
  EXPECT_EQ(keyPitchClasses(kAm), keyPitchClasses(kC));
  EXPECT_EQ(keyPitchClasses(kC), (std::set<int>{0, 2, 4, 5, 7, 9, 11}));
}

}  // namespace
}  // namespace quimbel::Chords

#include "music/chords.h"

#include <gtest/gtest.h>

#include "music/key_json.h"
#include "music/note_pads.h"
#include "music/voicing.h"

namespace quimbel::Chords {
namespace {

constexpr Key kC{0, Mode::major};
constexpr Key kAm{9, Mode::minor};

// The name comes from the sounding pitch classes alone, so every knob position
// and the bass note leave it unchanged.
TEST(ChordNameTest, PadChordsKeepTheirNameAtEveryInversionWithOrWithoutBass) {
  const struct {
    Key key;
    int pad;
    const char *plain, *sevenths, *ninths;
  } cases[] = {
      // clang-format off
      {kC, 0, "C", "CM7", "CM9"},     {kC, 1, "Dm", "Dm7", "Dm9"},  {kC, 2, "Em", "Em7", "Em7"},
      {kC, 4, "G", "G7", "G9"},       {kC, 6, "Bdim", "B\u00f8", "B\u00f8"},
      {kAm, 0, "Am", "Am7", "Am9"},   {kAm, 1, "Bdim", "B\u00f8", "B\u00f8"},
      {{3, Mode::major}, 4, "Bb", "Bb7", "Bb9"},
      {{1, Mode::minor}, 1, "D#dim", "D#\u00f8", "D#\u00f8"},
      {{1, Mode::major}, 3, "F#", "F#M7", "F#M9"},
      {{2, Mode::minor}, 5, "Bb", "BbM7", "BbM9"},
      // clang-format on
  };
  for (const auto& c : cases)
    for (int inversion = -3; inversion <= 7; ++inversion)
      for (bool bass : {false, true}) {
        SCOPED_TRACE(testing::Message() << keyName(c.key) << " pad " << c.pad << " inv "
                                        << inversion << " bass " << bass);
        auto name = [&](bool seventh, bool ninth) {
          return chordName(c.pad, c.key, chordNotes(c.pad, c.key, inversion, seventh, ninth, bass));
        };
        EXPECT_EQ(name(false, false), c.plain);
        EXPECT_EQ(name(true, false), c.sevenths);
        EXPECT_EQ(name(true, true), c.ninths);
      }
}

// Note lists no pad produces, so the sus, sixth and add9 rules are seen too.
TEST(ChordNameTest, SuspendedSixthAndAddedNinthRules) {
  const std::pair<std::vector<int>, const char*> cases[] = {
      // clang-format off
      {{48, 53, 55}, "Csus"}, {{48, 55}, "C"}, {{48, 52, 55, 57}, "C6"}, {{48, 52, 55, 62}, "Cadd9"},
      {{48, 51, 54, 57}, "Cdim"}, {{48, 52, 55, 57, 62}, "C6add9"},
      // clang-format on
  };
  for (const auto& [notes, name] : cases) EXPECT_EQ(chordName(0, kC, notes), name);
}

TEST(KeyTest, NamesEveryKeyWithItsAccidentalsAndReadsItBack) {
  std::string names;
  for (Mode mode : {Mode::major, Mode::minor})
    for (int tonic = 0; tonic < 12; ++tonic) {
      names += keyName({tonic, mode}) + " ";
      EXPECT_EQ(keyFromName(keyName({tonic, mode})), (Key{tonic, mode}));
    }
  EXPECT_EQ(names,
            "C C# D Eb E F F# G Ab A Bb B "
            "Cm C#m Dm Ebm Em Fm F#m Gm G#m Am Bbm Bm ");
  for (const char* bad : {"", "H", "c", "C##", "Cmm", "C m"}) EXPECT_FALSE(keyFromName(bad)) << bad;
  EXPECT_EQ(keyPitchClasses(kAm), (std::set<int>{0, 2, 4, 5, 7, 9, 11}));
}

TEST(KeyTest, JsonRoundTripsAndMalformedDocumentsFailWithoutThrowing) {
  EXPECT_EQ(keyToJson(kAm), nlohmann::json::parse(R"({"tonic":9,"mode":"minor"})"));
  EXPECT_EQ(decodeKey(encodeKey({1, Mode::minor})), (Key{1, Mode::minor}));
  // The range is the caller's to check.
  EXPECT_EQ(decodeKey(R"({"tonic":12,"mode":"major"})"), (Key{12, Mode::major}));
  for (const char* bad :
       {R"({"tonic":1})", R"({"tonic":1,"mode":"dorian"})", R"({"tonic":1.5,"mode":"minor"})",
        R"({"tonic":1e30,"mode":"minor"})", R"({"tonic":1,"mode":"minor")"}) {
    EXPECT_FALSE(decodeKey(bad).has_value()) << bad;
  }
}

// The tray's MIDI input and the plugin both read a keyboard this way.
TEST(NotePadsTest, WhiteKeysPlayThePadsInEveryOctaveAndNothingElseDoes) {
  // clang-format off
  const std::pair<int, int> cases[] = {  // note, pad (-1: none)
      {0, 0}, {60, 0}, {62, 1}, {64, 2}, {65, 3}, {67, 4}, {69, 5}, {71, 6}, {72, 0},
      {127, 4}, {21, 5}, {61, -1}, {66, -1}, {70, -1}, {-12, -1}, {128, -1}};
  // clang-format on
  for (const auto& [note, pad] : cases) EXPECT_EQ(padOfNote(note).value_or(-1), pad) << note;
}

}  // namespace
}  // namespace quimbel::Chords

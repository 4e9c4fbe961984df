#include "screen/compose.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "screen/alloc_counter.h"
#include "screen/pixel_font.h"

namespace quimbel::ChordScreen {
namespace {

using Chords::Key;
using Chords::Mode;

constexpr std::uint32_t kOrange = 0xFF5526;
constexpr std::uint32_t kGrey = 0x9A9A9A;
constexpr std::uint32_t kDark = 0x3C3C3C;

Cell at(const Cells& cells, int row, int column) { return cells[row * kSide + column]; }

// The cells of a rectangle as text: "#" where the cell holds `color`, "." for
// anything else.
std::vector<std::string> picture(const Cells& cells, int top, int bottom, int left, int right,
                                 std::uint32_t color) {
  std::vector<std::string> rows;
  for (int r = top; r <= bottom; ++r) {
    std::string row;
    for (int c = left; c <= right; ++c) row += at(cells, r, c) == color ? '#' : '.';
    rows.push_back(row);
  }
  return rows;
}

struct Box {
  int top = kSide, bottom = -1, left = kSide, right = -1;
  bool operator==(const Box&) const = default;
};

// The smallest rectangle holding every non-empty cell.
Box inked(const Cells& cells) {
  Box box;
  for (int r = 0; r < kSide; ++r) {
    for (int c = 0; c < kSide; ++c) {
      if (!at(cells, r, c)) continue;
      box = {std::min(box.top, r), std::max(box.bottom, r), std::min(box.left, c),
             std::max(box.right, c)};
    }
  }
  return box;
}

bool allCellsAre(const Cells& cells, Cell expected) {
  for (const Cell& cell : cells) {
    if (cell != expected) return false;
  }
  return true;
}

Shown chord(std::string name, std::uint32_t color, std::vector<int> notes = {60, 64, 67}) {
  return Shown{std::move(notes), std::move(name), color};
}

// ---- Fonts ----------------------------------------------------------------

TEST(PixelFontTest, FontsHoldEveryGlyphAtItsSize) {
  EXPECT_EQ(smallFont().size(), 10u);
  EXPECT_EQ(largeFont().size(), 27u);
  for (const auto& [character, glyph] : smallFont()) {
    EXPECT_EQ(glyph.width(), 3) << character;
    EXPECT_EQ(glyph.height(), 5) << character;
  }
  for (const auto& [character, glyph] : largeFont()) {
    EXPECT_EQ(glyph.height(), 7) << character;
    for (const std::string& row : glyph.rows) EXPECT_EQ(row.size(), 5u) << character;
  }
}

TEST(PixelFontTest, MissingCharactersFallBackToTheNumberSign) {
  const Glyph& sign = largeFont().at("#");
  EXPECT_EQ(&largeGlyph("x"), &sign);
  EXPECT_EQ(&largeGlyph("\xC3\xB8"), &largeFont().at("\xC3\xB8"));
  EXPECT_EQ(&largeGlyph("\xC3"), &sign);
}

// ---- Default keyboard -----------------------------------------------------

TEST(DefaultScreenTest, CMajorWithoutAChordLightsTheScaleAndNamesTheKey) {
  const Cells cells = compose(Input{}, 0);
  for (int k = 0; k < 7; ++k) {
    // Below the black keys every white key shows its full three columns.
    EXPECT_EQ(picture(cells, 24, 29, 4 * k + 2, 4 * k + 4, kOrange),
              std::vector<std::string>(6, "###"))
        << "white key " << k;
  }
  for (int slot : {0, 1, 3, 4, 5}) {
    EXPECT_EQ(picture(cells, 14, 23, 4 * slot + 4, 4 * slot + 6, kDark),
              std::vector<std::string>(10, "###"))
        << "black key in slot " << slot;
  }
  // E and F have no black key between them: their columns stay white.
  EXPECT_EQ(at(cells, 14, 12), kOrange);
  EXPECT_EQ(at(cells, 14, 13), Cell{});
  EXPECT_EQ(at(cells, 14, 14), kOrange);
  EXPECT_EQ(
      picture(cells, 3, 9, 13, 17, 0xA8A8A8),
      (std::vector<std::string>{".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}));
  EXPECT_EQ(inked(cells), (Box{3, 29, 2, 28}));
}

TEST(DefaultScreenTest, ShownTriadLightsItsKeysInItsColour) {
  constexpr std::uint32_t kChord = 0x123456;
  Input input;
  input.shown = chord("C", kChord);
  const Cells cells = compose(input, 0);
  const std::uint32_t expected[7] = {kChord, kGrey, kChord, kGrey, kChord, kGrey, kGrey};
  for (int k = 0; k < 7; ++k) EXPECT_EQ(at(cells, 29, 4 * k + 3), expected[k]) << k;
  for (int slot : {0, 1, 3, 4, 5}) EXPECT_EQ(at(cells, 14, 4 * slot + 5), kDark) << slot;
  EXPECT_EQ(at(cells, 3, 14), kChord);  // the name's top row
}

TEST(DefaultScreenTest, NotesFoldIntoPitchClassesWhateverTheOctave) {
  Input input;
  input.shown = chord("X", 0x00FF00, {-11, 126, 30});  // C#, F#, F#
  const Cells cells = compose(input, 0);
  EXPECT_EQ(at(cells, 14, 5), 0x00FF00u);   // C# (slot 0)
  EXPECT_EQ(at(cells, 14, 17), 0x00FF00u);  // F# (slot 3)
  EXPECT_EQ(at(cells, 29, 3), kGrey);       // C
}

struct KeyCase {
  const char* label;
  Key key;
  std::vector<int> litPitchClasses;
  std::vector<std::string> nameRows;  // rows 3 … 9 from column `nameLeft`
  int nameLeft;
};

class KeyScreenTest : public ::testing::TestWithParam<KeyCase> {};

TEST_P(KeyScreenTest, LightsTheKeysScaleAndSpellsItsName) {
  const KeyCase& c = GetParam();
  Input input;
  input.key = c.key;
  const Cells cells = compose(input, 0);
  constexpr int kWhite[7] = {0, 2, 4, 5, 7, 9, 11};
  constexpr int kBlackPc[5] = {1, 3, 6, 8, 10};
  constexpr int kBlackSlot[5] = {0, 1, 3, 4, 5};
  auto isLit = [&](int pc) {
    return std::find(c.litPitchClasses.begin(), c.litPitchClasses.end(), pc) !=
           c.litPitchClasses.end();
  };
  for (int k = 0; k < 7; ++k) {
    EXPECT_EQ(at(cells, 29, 4 * k + 3), isLit(kWhite[k]) ? kOrange : kGrey) << kWhite[k];
  }
  for (int b = 0; b < 5; ++b) {
    EXPECT_EQ(at(cells, 20, 4 * kBlackSlot[b] + 5), isLit(kBlackPc[b]) ? kOrange : kDark)
        << kBlackPc[b];
  }
  const int width = static_cast<int>(c.nameRows.front().size());
  EXPECT_EQ(picture(cells, 3, 9, c.nameLeft, c.nameLeft + width - 1, 0xA8A8A8), c.nameRows);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyScreenTest,
    ::testing::Values(KeyCase{"EFlatMajorIsSpelledWithAFlat",
                              {3, Mode::major},
                              {3, 5, 7, 8, 10, 0, 2},
                              {"#####.#....", "#.....#....", "#.....#....", "####..####.",
                               "#.....#...#", "#.....#...#", "#####.####."},
                              10},
                      KeyCase{"CSharpMinorIsSpelledWithASharp",
                              {1, Mode::minor},
                              {1, 3, 4, 6, 8, 9, 11},
                              {".###...#.#.......", "#...#..#.#.......", "#.....#####.##.#.",
                               "#......#.#..#.#.#", "#.....#####.#.#.#", "#...#..#.#..#.#.#",
                               ".###...#.#..#.#.#"},
                              7}),
    [](const auto& info) { return std::string(info.param.label); });

// ---- Text -------------------------------------------------------------------

TEST(TextTest, TextWiderThanTheGridIsClippedOnBothSides) {
  // Seven glyphs measure 41 columns and start at floor(−9 / 2) = −5.
  Input input;
  input.shown = chord("ABCDEFG", 0xABCDEF);
  const Cells cells = compose(input, 0);
  EXPECT_EQ(picture(cells, 3, 9, 0, 1, 0xABCDEF),
            (std::vector<std::string>{".#", ".#", ".#", ".#", ".#", ".#", ".#"}));  // B's stem
  EXPECT_EQ(picture(cells, 3, 9, 31, 31, 0xABCDEF),
            (std::vector<std::string>{".", "#", "#", "#", "#", "#", "."}));  // G's left side
  EXPECT_EQ(inked(cells).top, 3);  // nothing wrapped onto other rows
}

TEST(TextTest, UnknownCharactersAreDrawnAsTheNumberSign) {
  Input input;
  input.shown = chord("x", 0x111111);
  const Cells cells = compose(input, 0);
  EXPECT_EQ(
      picture(cells, 3, 9, 13, 17, 0x111111),
      (std::vector<std::string>{".#.#.", ".#.#.", "#####", ".#.#.", "#####", ".#.#.", ".#.#."}));
}

TEST(TextTest, HalfDiminishedNameUsesTheSlashedO) {
  Input input;
  input.shown = chord("B\xC3\xB8", 0x222222);  // 11 columns from column 10
  const Cells cells = compose(input, 0);
  EXPECT_EQ(
      picture(cells, 3, 9, 16, 20, 0x222222),
      (std::vector<std::string>{".....", "....#", ".###.", "#..##", "#.#.#", "##..#", ".###."}));
}

// ---- Overlays -------------------------------------------------------------

TEST(LegendScreenTest, DrawsKeycapsAndLabelsInTheirFlagsColours) {
  Input input;
  input.legend = Legend{true, false, true};
  const Cells cells = compose(input, 0);
  EXPECT_EQ(picture(cells, 3, 9, 1, 7, 0xEDEDED),
            (std::vector<std::string>{"#######", "#.###.#", "#.#.#.#", "#.###.#", "#.#.#.#",
                                      "#.###.#", "#######"}));
  EXPECT_EQ(picture(cells, 4, 8, 12, 22, 0xEDEDED),
            (std::vector<std::string>{"###.###.#.#", "..#..#..#.#", ".#...#..###", ".#...#..#.#",
                                      ".#...#..#.#"}));
  EXPECT_EQ(at(cells, 13, 1), 0x5E5E5Eu);  // the ninth's keycap is off
  // "STRUM": its M sits in columns 28 … 30.
  EXPECT_EQ(picture(cells, 24, 28, 28, 31, 0xEDEDED),
            (std::vector<std::string>{"#.#.", "###.", "###.", "#.#.", "#.#."}));
  EXPECT_EQ(inked(cells), (Box{3, 29, 1, 30}));
}

TEST(LegendScreenTest, AllFlagsOffStillShowsTheLegendDimmed) {
  Input input;
  input.legend = Legend{};
  const Cells cells = compose(input, 0);
  for (const Cell& cell : cells) {
    EXPECT_TRUE(!cell || *cell == 0x5E5E5Eu);
  }
  EXPECT_EQ(at(cells, 3, 1), 0x5E5E5Eu);
}

struct VolumeCase {
  double volume;
  int litBars;
};

class VolumeScreenTest : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(VolumeScreenTest, LightsRoundedTenthsWithHalvesAwayFromZero) {
  Input input;
  input.volume = GetParam().volume;
  const Cells cells = compose(input, 0);
  for (int i = 0; i < 10; ++i) {
    const std::uint32_t expected = i < GetParam().litBars ? 0xEDEDED : 0x333333;
    EXPECT_EQ(at(cells, 28, 3 * i + 1), expected) << "bar " << i;
    EXPECT_EQ(at(cells, 28, 3 * i + 2), expected) << "bar " << i;
    EXPECT_EQ(at(cells, 28, 3 * i + 3), Cell{}) << "gap after bar " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, VolumeScreenTest,
                         ::testing::Values(VolumeCase{0.0, 0}, VolumeCase{0.04, 0},
                                           VolumeCase{0.05, 1}, VolumeCase{0.25, 3},
                                           VolumeCase{0.8, 8}, VolumeCase{1.0, 10},
                                           VolumeCase{-0.3, 0}, VolumeCase{7.0, 10}));

TEST(VolumeScreenTest, BarsRiseFromFourToTwentySixRowsOnOneFloor) {
  Input input;
  input.volume = 1.0;
  const Cells cells = compose(input, 0);
  EXPECT_EQ(at(cells, 24, 1), Cell{});
  EXPECT_EQ(at(cells, 25, 1), 0xEDEDEDu);
  EXPECT_EQ(at(cells, 2, 28), Cell{});
  EXPECT_EQ(at(cells, 3, 28), 0xEDEDEDu);
  EXPECT_EQ(at(cells, 14, 13), Cell{});  // bar 4 is 10 high: rows 15 … 28
  EXPECT_EQ(at(cells, 15, 13), 0xEDEDEDu);
  EXPECT_EQ(inked(cells), (Box{3, 28, 1, 29}));
}

TEST(CountScreenTest, BeatColoursCycleEveryFourAndZeroShowsOne) {
  const std::pair<int, std::uint32_t> cases[] = {{0, 0xFF5526},  {1, 0xFF5526},      {2, 0x9AD63B},
                                                 {3, 0xFFE42F},  {4, 0x2261D2},      {5, 0xFF5526},
                                                 {12, 0x2261D2}, {INT_MIN, 0xFF5526}};
  for (auto [countN, color] : cases) {
    Input input;
    input.state = PadState::count;
    input.countN = countN;
    const Cells cells = compose(input, 0);
    bool found = false;
    for (const Cell& cell : cells) {
      if (!cell) continue;
      found = true;
      EXPECT_EQ(*cell, color) << countN;
    }
    EXPECT_TRUE(found) << countN;
  }
  Input zero;
  zero.state = PadState::count;
  Input one = zero;
  one.countN = 1;
  EXPECT_EQ(compose(zero, 0), compose(one, 0));
}

TEST(CountScreenTest, ADigitFillsTheMiddleAtScaleFour) {
  Input input;
  input.state = PadState::count;
  input.countN = 4;
  const Cells cells = compose(input, 0);
  EXPECT_EQ(inked(cells), (Box{2, 29, 6, 25}));
  EXPECT_EQ(picture(cells, 2, 5, 18, 21, 0x2261D2),
            (std::vector<std::string>{"####", "####", "####", "####"}));  // one glyph cell
}

TEST(KnobScreenTest, PaletteIndexIsNeverNegative) {
  const std::pair<int, int> cases[] = {{-5, 5}, {-4, 6}, {-3, 0},      {0, 3},
                                       {4, 0},  {5, 1},  {INT_MIN, 1}, {INT_MAX, 4}};
  for (auto [knob, index] : cases) EXPECT_EQ(knobPaletteIndex(knob), index) << knob;
}

TEST(KnobScreenTest, OneDigitAtScaleFourTwoDigitsAtScaleThreeClipped) {
  Input input;
  input.knob = -5;  // "1"
  Cells cells = compose(input, 0);
  EXPECT_EQ(inked(cells), (Box{2, 29, 10, 21}));
  EXPECT_EQ(at(cells, 2, 14), 0xFF5526u);

  input.knob = 5;  // "11" measures 33 columns from column −1
  cells = compose(input, 0);
  EXPECT_EQ(inked(cells), (Box{5, 25, 2, 28}));
  EXPECT_EQ(picture(cells, 5, 5, 4, 8, 0xF4B1C4), (std::vector<std::string>{".###."}));
  EXPECT_EQ(picture(cells, 5, 5, 22, 26, 0xF4B1C4), (std::vector<std::string>{".###."}));

  input.knob = 0;  // "6"
  cells = compose(input, 0);
  EXPECT_EQ(at(cells, 2, 14), 0x2261D2u);
}

// ---- Sheet ------------------------------------------------------------------

// The colour on each of the sheet's four text lines, or empty when the line
// holds nothing.
std::vector<Cell> sheetLineColors(const Cells& cells) {
  std::vector<Cell> colors;
  for (int line = 0; line < 4; ++line) {
    Cell color;
    for (int r = 8 * line + 1; r <= 8 * line + 7; ++r) {
      for (int c = 0; c < kSide; ++c) {
        if (at(cells, r, c)) color = at(cells, r, c);
      }
    }
    colors.push_back(color);
  }
  return colors;
}

TEST(SheetScreenTest, RepeatsInARowCollapseAndOnlyFourLinesShow) {
  Input input;
  input.state = PadState::done;
  input.sheet = {chord("C", 1), chord("C", 2), chord("F", 3),
                 chord("C", 4), chord("G", 5), chord("Am", 6)};
  const Cells cells = compose(input, 0);
  EXPECT_EQ(sheetLineColors(cells), (std::vector<Cell>{1, 3, 4, 5}));
  EXPECT_EQ(inked(cells).bottom, 31);  // the last line's "G" reaches row 31
}

TEST(SheetScreenTest, OneRepeatedChordIsOneLineAtTheTop) {
  Input input;
  input.state = PadState::done;
  input.sheet = {chord("Dm", 7), chord("Dm", 7), chord("Dm", 7)};
  const Cells cells = compose(input, 0);
  EXPECT_EQ(inked(cells), (Box{1, 7, 10, 20}));
}

TEST(SheetScreenTest, EmptySheetLeavesTheScreenEmpty) {
  Input input;
  input.state = PadState::done;
  input.shown = chord("C", 1);
  EXPECT_TRUE(allCellsAre(compose(input, 0), Cell{}));
}

// ---- Priority and recording ----------------------------------------------

TEST(ScreenChoiceTest, OverlaysWinInTheirOrder) {
  Input all;
  all.state = PadState::count;
  all.countN = 2;
  all.legend = Legend{true, true, true};
  all.volume = 0.5;
  all.knob = 1;
  all.sheet = {chord("C", 1)};

  Input legendOnly;
  legendOnly.legend = all.legend;
  EXPECT_EQ(compose(all, 0), compose(legendOnly, 0));

  all.legend.reset();
  Input volumeOnly;
  volumeOnly.volume = 0.5;
  EXPECT_EQ(compose(all, 0), compose(volumeOnly, 0));

  all.volume.reset();
  Input countOnly;
  countOnly.state = PadState::count;
  countOnly.countN = 2;
  EXPECT_EQ(compose(all, 0), compose(countOnly, 0));

  all.state = PadState::done;
  Input knobOnly;
  knobOnly.knob = 1;
  EXPECT_EQ(compose(all, 0), compose(knobOnly, 0));
}

TEST(RecordingTest, EmptyCellsFlashRedAndFadeByFourHundredMs) {
  const std::pair<double, Cell> cases[] = {
      {0, 0x472722},
      {100, 0x3D2521},
      {399.9, 0x1F1F1F},
      {400, Cell{}},
      {5000, Cell{}},
      // A clock behind the start brightens the flash but never spills a channel.
      {-10000, 0xFFF665}};
  for (auto [since, expected] : cases) {
    Input input;
    input.state = PadState::rec;
    input.recAt = 1000;
    const Cells cells = compose(input, 1000 + since);
    EXPECT_EQ(at(cells, 1, 1), expected) << since;
    EXPECT_EQ(at(cells, 29, 3), kOrange) << since;  // ink keeps its colour
  }
}

TEST(RecordingTest, FrameSurroundsEveryScreen) {
  Input keyboard;
  Input legend;
  legend.legend = Legend{};
  Input volume;
  volume.volume = 1.0;
  Input knob;
  knob.knob = 5;
  for (Input input : {keyboard, legend, volume, knob}) {
    input.state = PadState::rec;
    const Cells cells = compose(input, 0);
    for (int i = 0; i < kSide; ++i) {
      EXPECT_EQ(at(cells, 0, i), 0x843426u);
      EXPECT_EQ(at(cells, 31, i), 0x843426u);
      EXPECT_EQ(at(cells, i, 0), 0x843426u);
      EXPECT_EQ(at(cells, i, 31), 0x843426u);
    }
  }
}

TEST(ComposeTest, AllocatesNothing) {
  Input input;
  input.shown = chord("A#dim", 0xFF5526);
  input.state = PadState::rec;
  Input sheet;
  sheet.state = PadState::done;
  sheet.sheet = {chord("C", 1), chord("F", 2), chord("Bb", 3), chord("G7", 4), chord("Am", 5)};
  Input key;
  key.key = {10, Mode::minor};
  Input count;
  count.state = PadState::count;
  count.countN = 3;
  Input knob;
  knob.knob = 4;
  Input legend;
  legend.legend = Legend{true, false, true};
  const Input inputs[] = {input, sheet, key, count, knob, legend};
  for (const Input& each : inputs) compose(each, 0);  // both fonts are built on first use
  const long before = allocationCount();
  for (const Input& each : inputs) compose(each, 50);
  EXPECT_EQ(allocationCount(), before);
}

}  // namespace
}  // namespace quimbel::ChordScreen

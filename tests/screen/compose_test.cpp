#include "screen/compose.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>

namespace quimbel::ChordScreen {
namespace {

using Rows = std::vector<std::string>;

constexpr std::uint32_t kOrange = 0xFF5526;
constexpr std::uint32_t kLit = 0xEDEDED;

Cell at(const Cells& cells, int row, int column) { return cells[row * kSide + column]; }

// The cells of a rectangle as text: each colour as the letter `ink` gives it,
// "." for an empty cell or any other colour.
Rows picture(const Cells& cells, int top, int bottom, int left, int right,
             std::map<std::uint32_t, char> ink) {
  Rows rows(bottom - top + 1, std::string(right - left + 1, '.'));
  for (int r = top; r <= bottom; ++r)
    for (int c = left; c <= right; ++c)
      if (const Cell cell = at(cells, r, c); cell && ink.contains(*cell))
        rows[r - top][c - left] = ink[*cell];
  return rows;
}

// The smallest rectangle holding every non-empty cell: top, bottom, left, right.
using Box = std::array<int, 4>;
constexpr Box kNothing{kSide, -1, kSide, -1};
Box inked(const Cells& cells) {
  Box b = kNothing;
  for (int r = 0; r < kSide; ++r)
    for (int c = 0; c < kSide; ++c)
      if (at(cells, r, c))
        b = {std::min(b[0], r), std::max(b[1], r), std::min(b[2], c), std::max(b[3], c)};
  return b;
}

Shown chord(std::string name, std::uint32_t color, std::vector<int> notes = {60, 64, 67}) {
  return Shown{std::move(notes), std::move(name), color};
}

// Inputs name only the fields a case sets.
Cells draw(const Input& input, double now = 0) { return compose(input, now); }

// Rows 20 (black keys over white) and 29 (white keys only): "#" lit, "w" an
// unlit white key, "d" an unlit black key.
TEST(DefaultScreenTest, LightsTheKeysScaleOrTheShownChordsPitchClassesAndNamesTheKey) {
  // C major, C# minor, and a shown C#, F#, F# in any octave.
  const std::tuple<Input, std::uint32_t, Rows> cases[] = {
      // clang-format off
      {{}, kOrange, {"##ddd#ddd##.##ddd#ddd#ddd##", "###.###.###.###.###.###.###"}},
      {{.key = {1, Chords::Mode::minor}}, kOrange,
       {"ww###w#####.ww###w####ddd##", "www.www.###.www.www.###.###"}},
      {{.shown = chord("X", 1, {-11, 126, 30})}, 1,
       {"ww###wdddww.ww###wdddwdddww", "www.www.www.www.www.www.www"}},
      // clang-format on
  };
  for (const auto& [input, lit, expected] : cases) {
    const Cells cells = draw(input);
    Rows keys = picture(cells, 20, 20, 2, 28, {{lit, '#'}, {0x9A9A9A, 'w'}, {0x3C3C3C, 'd'}});
    keys.push_back(picture(cells, 29, 29, 2, 28, {{lit, '#'}, {0x9A9A9A, 'w'}})[0]);
    EXPECT_EQ(keys, expected) << lit;
  }
  // With no chord shown, the key's name.
  EXPECT_EQ(
      picture(draw({.key = {1, Chords::Mode::minor}}), 3, 9, 7, 23, {{0xA8A8A8, '#'}}),
      (Rows{".###...#.#.......", "#...#..#.#.......", "#.....#####.##.#.", "#......#.#..#.#.#",
            "#.....#####.#.#.#", "#...#..#.#..#.#.#", ".###...#.#..#.#.#"}));
}

// Text is centred with a true floor and clipped at both edges, never wrapped;
// a character the font lacks is drawn as the number sign.
TEST(TextTest, ClipsAtBothEdgesAndFallsBackToTheNumberSign) {
  Cells cells = draw({.shown = chord("ABCDEFG", 0xABCDEF)});  // 41 columns from column −5
  EXPECT_EQ(picture(cells, 3, 9, 0, 1, {{0xABCDEF, '#'}}), Rows(7, ".#"));  // B's stem
  EXPECT_EQ(picture(cells, 3, 9, 31, 31, {{0xABCDEF, '#'}}),
            (Rows{".", "#", "#", "#", "#", "#", "."}));
  EXPECT_EQ(picture(draw({.shown = chord("x", 1)}), 3, 9, 13, 17, {{1, '#'}}),
            (Rows{".#.#.", ".#.#.", "#####", ".#.#.", "#####", ".#.#.", ".#.#."}));
  EXPECT_EQ(picture(draw({.shown = chord("B\xC3\xB8", 1)}), 3, 9, 16, 20, {{1, '#'}}),
            (Rows{".....", "....#", ".###.", "#..##", "#.#.#", "##..#", ".###."}));
}

TEST(LegendScreenTest, DrawsKeycapsAndLabelsOnOrDimmed) {
  Cells cells = draw({.legend = Legend{true, false, true}});
  EXPECT_EQ(picture(cells, 3, 9, 1, 7, {{kLit, '#'}}),
            (Rows{"#######", "#.###.#", "#.#.#.#", "#.###.#", "#.#.#.#", "#.###.#", "#######"}));
  EXPECT_EQ(picture(cells, 4, 8, 12, 22, {{kLit, '#'}}),
            (Rows{"###.###.#.#", "..#..#..#.#", ".#...#..###", ".#...#..#.#", ".#...#..#.#"}));
  EXPECT_EQ(at(cells, 13, 1), 0x5E5E5Eu);  // the ninth is off
  for (const Cell& cell : draw({.legend = Legend{}})) EXPECT_TRUE(!cell || *cell == 0x5E5E5Eu);
}

TEST(VolumeScreenTest, LightsRoundedTenthsWithHalvesAwayFromZero) {
  for (auto [volume, level] :
       {std::pair{0.04, 0}, {0.05, 1}, {0.25, 3}, {1.0, 10}, {-0.3, 0}, {7.0, 10}}) {
    const Cells cells = draw({.volume = volume});
    for (int i = 0; i < 10; ++i)
      EXPECT_EQ(at(cells, 28, 3 * i + 1), i < level ? kLit : 0x333333) << volume << " bar " << i;
  }
  // 4 to 26 rows high, all standing on row 28.
  EXPECT_EQ(inked(draw({.volume = 1.0})), (Box{3, 28, 1, 29}));
}

TEST(CountScreenTest, BeatColoursCycleEveryFourAndZeroShowsOne) {
  auto count = [](int n) { return draw({.state = PadState::count, .countN = n}); };
  const std::pair<int, std::uint32_t> beats[] = {{0, kOrange},  {2, 0x9AD63B}, {3, 0xFFE42F},
                                                 {4, 0x2261D2}, {5, kOrange},  {INT_MIN, kOrange}};
  for (auto [countN, color] : beats) {
    const Cells cells = count(countN);
    EXPECT_NE(inked(cells), kNothing) << countN;
    for (const Cell& cell : cells) EXPECT_TRUE(!cell || *cell == color) << countN;
  }
  EXPECT_EQ(count(0), count(1));
  EXPECT_EQ(inked(count(4)), (Box{2, 29, 6, 25}));  // one digit at scale four fills the middle
}

TEST(KnobScreenTest, OneDigitAtScaleFourTwoDigitsAtScaleThreeClipped) {
  for (auto [knob, index] : {std::pair{-5, 5}, {-4, 6}, {0, 3}, {5, 1}, {INT_MIN, 1}, {INT_MAX, 4}})
    EXPECT_EQ(knobPaletteIndex(knob), index) << knob;
  EXPECT_EQ(inked(draw({.knob = -5})), (Box{2, 29, 10, 21}));  // "1"
  const Cells cells = draw({.knob = 5});                       // "11": 33 columns from column −1
  EXPECT_EQ(inked(cells), (Box{5, 25, 2, 28}));
  EXPECT_EQ(picture(cells, 5, 5, 22, 26, {{0xF4B1C4, '#'}}), Rows{".###."});
}

TEST(SheetScreenTest, RepeatsInARowCollapseAndOnlyFourLinesShow) {
  const std::vector<Shown> sheet = {chord("C", 1), chord("C", 2), chord("F", 3),
                                    chord("C", 4), chord("G", 5), chord("Am", 6)};
  const Cells cells = draw({.state = PadState::done, .sheet = sheet});
  for (auto [line, color] : {std::pair{0, 1u}, {1, 3u}, {2, 4u}, {3, 5u}})
    EXPECT_EQ(at(cells, 8 * line + 1, 14), color) << line;  // the top of each C, F, C, G
  EXPECT_EQ(inked(draw({.state = PadState::done, .sheet = {chord("Dm", 7), chord("Dm", 7)}})),
            (Box{1, 7, 10, 20}));
  EXPECT_EQ(inked(draw({.shown = chord("C", 1), .state = PadState::done})), kNothing);
}

TEST(ScreenChoiceTest, OverlaysWinInTheirOrder) {
  Input all{.state = PadState::count, .countN = 2, .knob = 1, .volume = 0.5};
  all.sheet = {chord("C", 1)};
  all.legend = Legend{true, true, true};
  EXPECT_EQ(draw(all), draw({.legend = all.legend}));
  all.legend.reset();
  EXPECT_EQ(draw(all), draw({.volume = 0.5}));
  all.volume.reset();
  EXPECT_EQ(draw(all), draw({.state = PadState::count, .countN = 2}));
  all.state = PadState::done;
  EXPECT_EQ(draw(all), draw({.knob = 1}));
}

TEST(RecordingTest, EmptyCellsFlashRedForFourHundredMsInsideTheFrame) {
  // A clock behind the start brightens the flash but never spills a channel.
  const std::pair<double, Cell> cases[] = {
      {0, 0x472722}, {100, 0x3D2521}, {399.9, 0x1F1F1F}, {400, Cell{}}, {-10000, 0xFFF665}};
  for (auto [since, expected] : cases) {
    const Cells cells = draw({.state = PadState::rec, .recAt = 1000}, 1000 + since);
    EXPECT_EQ(at(cells, 1, 1), expected) << since;
    EXPECT_EQ(at(cells, 29, 3), kOrange) << since;  // ink keeps its colour
  }
  for (Input input : {Input{}, {.knob = 5}, {.volume = 1.0}, {.legend = Legend{}}}) {
    input.state = PadState::rec;
    const Cells cells = draw(input);
    for (int i = 0; i < kSide; ++i)
      for (Cell cell : {at(cells, 0, i), at(cells, 31, i), at(cells, i, 0), at(cells, i, 31)})
        EXPECT_EQ(cell, 0x843426u);
  }
}

}  // namespace
}  // namespace quimbel::ChordScreen

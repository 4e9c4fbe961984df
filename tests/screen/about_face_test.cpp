#include "screen/about_face.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace quimbel::AboutFace {
namespace {

using Rows = std::vector<std::string>;

// The grid as text, "#" for a lit cell of any colour and alpha.
Rows picture(const Cells& cells) {
  Rows rows(kSide, std::string(kSide, '.'));
  for (int i = 0; i < kCellCount; ++i)
    if (cells[i]) rows[i / kSide][i % kSide] = '#';
  return rows;
}

std::set<std::uint32_t> colors(const Cells& cells) {
  std::set<std::uint32_t> found;
  for (const auto& cell : cells)
    if (cell) found.insert(cell->color);
  return found;
}

constexpr double kOpened = 50000;  // uptime at the opening, so that t = now − kOpened

const Rows kSurprised = {
    "................", "................", "................", "................",
    "...####..####...", "...#..#..#..#...", "...####..####...", "................",
    "................", ".......##.......", "......#..#......", "......#..#......",
    ".......##.......", "................", "................", "................",
};
const Rows kWink = {
    "................", "................", "................", "................",
    "....##..........", "....##..........", "....##...####...", "................",
    "................", "..##........##..", "...##......##...", "....########....",
    ".....######.....", "................", "................", "................",
};

TEST(AboutFaceTest, WakesSurprisedThenWinksInColoursSteppingRoundThePalette) {
  const Cells at200 = face(kOpened + 200, kOpened, false);
  EXPECT_EQ(picture(at200), kSurprised);
  EXPECT_EQ(colors(at200), std::set<std::uint32_t>{0xFF5526});

  // Before 180 ms the whole face, "O" and eyes alike, sits one row higher.
  Rows raised(kSurprised.begin() + 1, kSurprised.end());
  raised.push_back(std::string(kSide, '.'));
  EXPECT_EQ(picture(face(kOpened + 100, kOpened, false)), raised);

  EXPECT_EQ(picture(face(kOpened + 1000, kOpened, false)), kWink);

  // The awake colour steps every 1600 ms and wraps around the palette.
  const struct {
    double t;
    std::uint32_t color;
  } rows[] = {{3000, 0x2261D2}, {5000, 0xF4B1C4}, {7000, 0xFF5526}};
  for (const auto& row : rows)
    EXPECT_EQ(colors(face(kOpened + row.t, kOpened, false)), std::set<std::uint32_t>{row.color})
        << row.t;
}

TEST(AboutFaceTest, AsleepTheZRisesOffTheTopWithoutWrappingAndTheFaceBreathes) {
  // Opened at 0: now 11900 is 1500 ms into the "z"'s 2600 ms period, its last
  // step, so only its bottom row is left on the grid.
  const Rows topRowOnly = {
      "...........####.", "................", "................", "................",
      "................", "................", "...####..####...", "................",
      "................", "................", "................", "......####......",
      "................", "................", "................", "................",
  };
  EXPECT_EQ(picture(face(11900, 0, false)), topRowOnly);

  // Meanwhile the face breathes between its alpha bounds.
  double lowest = 1;
  double highest = 0;
  for (double now = 8000; now < 14000; now += 5) {
    const Cells cells = face(now, 0, false);
    const auto& eye = cells[6 * kSide + 3];  // a closed eye's first cell
    ASSERT_TRUE(eye) << now;
    lowest = std::min(lowest, eye->alpha);
    highest = std::max(highest, eye->alpha);
  }
  EXPECT_NEAR(lowest, 0.45, 1e-4);
  EXPECT_NEAR(highest, 0.75, 1e-4);
}

TEST(AboutFaceTest, WithReduceMotionTheFaceNeverChanges) {
  const Cells still = face(0, 0, true);
  EXPECT_EQ(colors(still), std::set<std::uint32_t>{0x2261D2});
  for (double now = 0; now < 30000; now += 7) ASSERT_EQ(face(now, 1234, true), still) << now;
}

}  // namespace
}  // namespace quimbel::AboutFace

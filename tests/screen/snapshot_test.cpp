#include "screen/snapshot.h"

#include <gtest/gtest.h>

#include <vector>

namespace quimbel::ChordScreen {
namespace {

constexpr double kNow = 10000.0;

struct TimedCase {
  const char* label;
  bool dragging;
  double shownAt;
  bool present;
};

TEST(SnapshotTest, VolumeShowsWhileDraggedAndFor900Ms) {
  const TimedCase cases[] = {
      {"just changed", false, kNow, true},
      {"899 ms ago", false, kNow - 899, true},
      {"900 ms ago", false, kNow - 900, false},
      {"never, but dragged", true, -1e9, true},
  };
  for (const TimedCase& c : cases) {
    Live live;
    live.volume = 0.6;
    live.volumeDragging = c.dragging;
    live.volumeShownAt = c.shownAt;
    const Input input = snapshot(live, kNow);
    EXPECT_EQ(input.volume, c.present ? std::optional<double>(0.6) : std::nullopt) << c.label;
  }
}

TEST(SnapshotTest, KnobShowsWhileDraggedAndFor700Ms) {
  const TimedCase cases[] = {
      {"699 ms ago", false, kNow - 699, true},
      {"700 ms ago", false, kNow - 700, false},
      {"never, but dragged", true, -1e9, true},
  };
  for (const TimedCase& c : cases) {
    Live live;
    live.knob = -4;
    live.knobDragging = c.dragging;
    live.knobShownAt = c.shownAt;
    EXPECT_EQ(snapshot(live, kNow).knob, c.present ? std::optional<int>(-4) : std::nullopt)
        << c.label;
  }
}

TEST(SnapshotTest, LegendWaitsOverSixHundredMsForAHeldModifier) {
  struct LegendCase {
    const char* label;
    bool legendUp, sevenths, ninths, strum;
    PadState state;
    double modsAgo;
    std::optional<Legend> expected;
  };
  const LegendCase cases[] = {
      {"sevenths held", true, true, false, false, PadState::ready, 601, Legend{true, false, false}},
      {"a ninth implies its seventh", true, false, true, false, PadState::rec, 601,
       Legend{true, true, false}},
      {"strum alone", true, false, false, true, PadState::done, 601, Legend{false, false, true}},
      {"exactly 600 ms", true, true, false, false, PadState::ready, 600, std::nullopt},
      {"not up", false, true, true, true, PadState::ready, 5000, std::nullopt},
      {"no modifier on", true, false, false, false, PadState::ready, 5000, std::nullopt},
      {"counting in", true, true, false, false, PadState::count, 5000, std::nullopt},
  };
  for (const LegendCase& c : cases) {
    Live live;
    live.legendUp = c.legendUp;
    live.sevenths = c.sevenths;
    live.ninths = c.ninths;
    live.strum = c.strum;
    live.state = c.state;
    live.modsAt = kNow - c.modsAgo;
    EXPECT_EQ(snapshot(live, kNow).legend, c.expected) << c.label;
  }
}

TEST(SnapshotTest, SheetHoldsTheTakesChordsOnlyWhenDone) {
  std::vector<ChordHit> hits(3);
  hits[0].shown = {{60}, "C", 1};
  hits[1].shown = {{62}, "Dm", 2};
  hits[2].shown = {{60}, "C", 1};
  Live live;
  live.hits = hits;
  live.shownChord = Shown{{65}, "F", 3};
  live.countN = 3;
  live.recAt = 123;
  live.key = {9, Chords::Mode::minor};
  for (PadState state : {PadState::ready, PadState::count, PadState::rec}) {
    live.state = state;
    EXPECT_TRUE(snapshot(live, kNow).sheet.empty());
  }
  live.state = PadState::done;
  const Input input = snapshot(live, kNow);
  EXPECT_EQ(input.sheet, (std::vector<Shown>{hits[0].shown, hits[1].shown, hits[2].shown}));
  EXPECT_EQ(input.shown, live.shownChord);
  EXPECT_EQ(input.countN, 3);
  EXPECT_EQ(input.recAt, 123);
  EXPECT_EQ(input.key, live.key);
}

}  // namespace
}  // namespace quimbel::ChordScreen

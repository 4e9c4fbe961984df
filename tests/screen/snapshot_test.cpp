#include "screen/snapshot.h"

#include <gtest/gtest.h>

#include <vector>

namespace quimbel::ChordScreen {
namespace {

constexpr double kNow = 10000.0;

// Volume shows while dragged and for 900 ms, the knob for 700 ms.
TEST(SnapshotTest, OverlaysShowWhileDraggedAndForTheirTimeAfter) {
  // clang-format off
  for (auto [dragging, ago, volume, knob] :
       {std::tuple{false, 0.0, true, true}, {false, 699.0, true, true}, {false, 700.0, true, false},
        {false, 899.0, true, false}, {false, 900.0, false, false}, {true, 1e9, true, true}}) {
    const Input input = snapshot({.knob = -4, .knobDragging = dragging, .knobShownAt = kNow - ago,
                                  .volume = 0.6, .volumeDragging = dragging, .volumeShownAt = kNow - ago},
                                 kNow);
    // clang-format on
    EXPECT_EQ(input.volume, volume ? std::optional(0.6) : std::nullopt) << ago;
    EXPECT_EQ(input.knob, knob ? std::optional(-4) : std::nullopt) << ago;
  }
}

// The legend waits over 600 ms after a modifier changes; a ninth implies its seventh.
TEST(SnapshotTest, LegendShowsForAHeldModifierOutsideTheCountIn) {
  const struct {
    Live live;
    std::optional<Legend> expected;
  } cases[] = {
      {{.legendUp = true, .sevenths = true, .modsAt = kNow - 601}, Legend{true, false, false}},
      {{.state = PadState::rec, .legendUp = true, .ninths = true, .modsAt = kNow - 601},
       Legend{true, true, false}},
      {{.legendUp = true, .strum = true, .modsAt = kNow - 601}, Legend{false, false, true}},
      {{.legendUp = true, .sevenths = true, .modsAt = kNow - 600}, std::nullopt},
      {{.legendUp = false, .sevenths = true}, std::nullopt},
      {{.legendUp = true}, std::nullopt},
      {{.state = PadState::count, .legendUp = true, .sevenths = true}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(snapshot(c.live, kNow).legend, c.expected);
}

TEST(SnapshotTest, SheetHoldsTheTakesChordsOnlyWhenDone) {
  std::vector<ChordHit> hits(3);
  hits[0].shown = hits[2].shown = {{60}, "C", 1};
  hits[1].shown = {{62}, "Dm", 2};
  Live live{.key = {9, Chords::Mode::minor}, .shownChord = Shown{{65}, "F", 3}, .countN = 3};
  live.recAt = 123;
  live.hits = hits;
  for (PadState state : {PadState::ready, PadState::count, PadState::rec}) {
    live.state = state;
    EXPECT_TRUE(snapshot(live, kNow).sheet.empty());
  }
  live.state = PadState::done;
  Input expected{.key = live.key, .shown = live.shownChord, .state = PadState::done, .countN = 3};
  expected.recAt = 123;
  expected.sheet = {hits[0].shown, hits[1].shown, hits[2].shown};
  EXPECT_EQ(snapshot(live, kNow), expected);
}

}  // namespace
}  // namespace quimbel::ChordScreen

#include "model/pad_model.h"

#include <gtest/gtest.h>

#include <cmath>

#include "model/model_rig.h"
#include "music/chords.h"

namespace quimbel {
namespace {

using testing::ModelRig;
using testing::Stored;
using Modifier = PadModel::Modifier;
using Chords::Key;
using Chords::Mode;

TEST(PadModelSettingsTest, FreshDefaultsAndStoredValuesClampedOrIgnored) {
  EXPECT_EQ(ModelRig()->engine().volume(), 0.64f);  // the fresh 0.8, heard as the square

  ModelRig stored(Stored{{"knob", "9"},
                         {"bpm", "20"},
                         {"volume", "1.7"},
                         {"key", R"({"tonic": 12, "mode": "major"})"},
                         {"bass", "false"}});
  EXPECT_EQ(stored->knob(), 5);
  EXPECT_EQ(stored->bpm(), 60);
  EXPECT_EQ(stored->volume(), 1.0);
  EXPECT_EQ(stored->key().get(), (Key{1, Mode::minor}));
  EXPECT_EQ(stored->engine().bpm(), 60.0);
}

TEST(PadModelSettingsTest, ChangesAreStoredAndReadBack) {
  ModelRig rig(Stored{{"knob", "garbage"}});
  rig->setKnob(-3);  // the current value: nothing stored, nothing shown
  EXPECT_EQ(rig.settings().value("knob"), "garbage");
  EXPECT_EQ(rig->knobShownAt(), PadModel::kNever);
  rig->setKnob(7);
  rig->setKey({4, Mode::major}, false);
  rig->shiftTonic(-5);
  rig->setBpm(250);
  rig->toggleBass();
  EXPECT_EQ(rig.settings().value("knob"), "5");
  EXPECT_EQ(rig.settings().value("key"), R"({"mode":"major","tonic":11})");
  EXPECT_EQ(rig.settings().value("bpm"), "200");
  std::vector<double> seen;  // what observers and the store get stays in range
  Subscription s = rig->volume().subscribe([&](const double& v) { seen.push_back(v); });
  rig->setVolume(std::nan(""));
  EXPECT_TRUE(seen.empty());
}

TEST(PadModelModifierTest, EitherSourceHoldsAModifierAndTheLegendWaitsAndYields) {
  ModelRig rig;
  // Tab or 8 holds sevenths; letting go of one while the other is down keeps them.
  for (const auto& [which, down, held] : {std::tuple{Modifier::tabKey, true, true},
                                          {Modifier::key8, true, true},
                                          {Modifier::tabKey, false, true},
                                          {Modifier::key8, false, false}}) {
    rig->setModifier(which, down);
    rig->updateModifiers(down);
    EXPECT_EQ(rig->sevenths(), held);
  }

  rig->setModifier(Modifier::shiftKey, true);
  rig->updateModifiers(true);
  const double pressedAt = rig.clock.nowMs();
  EXPECT_FALSE(rig->screenInput(pressedAt + 600).legend);  // not before 600 ms
  const auto legend = rig->screenInput(pressedAt + 601).legend;
  EXPECT_TRUE(legend && legend->seventh && legend->ninth);  // a ninth brings its seventh
  rig->holdPad(2);
  rig->press(2);  // playing clears the legend while the modifier stays held
  EXPECT_FALSE(rig->screenInput(pressedAt + 5000).legend);
  EXPECT_TRUE(rig->ninths());
  rig->releaseAllPads();
  EXPECT_FALSE(rig->ninths());
}

TEST(PadModelPressTest, TagsWrapAndPendingStaysBounded) {
  ModelRig rig;
  std::size_t most = 0;
  for (int i = 0; i < 500000 + 10; ++i) {
    // Only the stretch around the wrap needs the full press; elsewhere the
    // tag counter alone moves on.
    const bool full = i < 200 || i >= 500000 - 200;
    if (full) rig->press(i % 7);
    ASSERT_EQ(full ? rig->nextTag() : rig->takeTag(), (i + 1) % 500000);
    most = std::max(most, rig->pending().size());
  }
  EXPECT_LE(most, 65u);
  // After the wrap the presses just before it are still recent.
  EXPECT_TRUE(rig->pending().contains(499999));
  EXPECT_FALSE(rig->pending().contains(499900));
}

TEST(PadModelMidiTest, SourcesKeepTheEngineUpAndOnlyAStrumWaitsForItsNotice) {
  ModelRig rig;
  rig.sequencer.sources = {0x1000, 0x1001};
  rig->midi().refreshSources();
  EXPECT_TRUE(rig->engine().running());
  rig.sequencer.sources = {};
  rig->midi().refreshSources();
  EXPECT_FALSE(rig->engine().keepRunning());
  rig->midiNote(2, 80);
  EXPECT_TRUE(rig->pending().empty());  // the core played it by itself
  rig->setModifier(Modifier::spaceKey, true);
  rig->updateModifiers(true);
  rig->midiNote(5, 80);
  ASSERT_EQ(rig->pending().size(), 1u);
  EXPECT_GT(rig->pending().begin()->second.voicing.offsets.back(), 0.0);  // strummed
}

TEST(PadModelPanelTest, TickerStopsAfterTwoIdleSeconds) {
  ModelRig rig;
  rig->holdPad(1);
  rig->press(1);
  rig.main.advance(5000);
  EXPECT_TRUE(rig->tickerRunning());  // a held pad keeps it going
  rig->release(1);
  rig.main.advance(1990);
  EXPECT_TRUE(rig->tickerRunning());
  rig.main.advance(30);
  EXPECT_FALSE(rig->tickerRunning());
}

}  // namespace
}  // namespace quimbel

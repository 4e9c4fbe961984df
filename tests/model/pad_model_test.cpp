#include "model/pad_model.h"

#include <gtest/gtest.h>

#include <cmath>

#include "audio/core/midi_chord_map.h"
#include "model/model_rig.h"
#include "music/chords.h"

namespace quimbel {
namespace {

using testing::ModelRig;
using testing::Stored;
using Modifier = PadModel::Modifier;

TEST(PadModelSettingsTest, FreshInstallDefaults) {
  ModelRig rig;
  EXPECT_EQ(rig->key().get(), (Chords::Key{1, Chords::Mode::minor}));
  EXPECT_EQ(rig->knob(), -3);
  EXPECT_TRUE(rig->bass());
  EXPECT_EQ(rig->bpm(), 120);
  EXPECT_EQ(rig->volume(), 0.8);
  EXPECT_TRUE(rig->quantize());
  EXPECT_EQ(rig->engine().volume(), 0.64f);  // heard as the square
  EXPECT_EQ(rig->engine().bpm(), 120.0);
}

TEST(PadModelSettingsTest, StoredValuesAreClampedOrIgnored) {
  ModelRig rig(Stored{{"knob", "9"},
                      {"bpm", "20"},
                      {"volume", "1.7"},
                      {"key", R"({"tonic": 12, "mode": "major"})"},
                      {"bass", "false"},
                      {"quantize", "false"}});
  EXPECT_EQ(rig->knob(), 5);
  EXPECT_EQ(rig->bpm(), 60);
  EXPECT_EQ(rig->volume(), 1.0);
  EXPECT_EQ(rig->key().get(), (Chords::Key{1, Chords::Mode::minor}));
  EXPECT_FALSE(rig->bass());
  EXPECT_FALSE(rig->quantize());
  EXPECT_EQ(rig->engine().bpm(), 60.0);
  EXPECT_EQ(rig->engine().volume(), 1.0f);
}

TEST(PadModelSettingsTest, CorruptKeyIsIgnoredAndOtherSettingsStillLoad) {
  ModelRig rig(Stored{{"key", "\x01not json"}, {"knob", "2"}});
  EXPECT_EQ(rig->key().get(), (Chords::Key{1, Chords::Mode::minor}));
  EXPECT_EQ(rig->knob(), 2);
}

TEST(PadModelSettingsTest, ChangesAreStoredAndNoOpKnobWritesNothing) {
  ModelRig rig(Stored{{"knob", "garbage"}});
  rig->setKnob(-3);  // the current value: nothing stored, nothing shown
  EXPECT_EQ(rig.settings().value("knob"), "garbage");
  EXPECT_EQ(rig->knobShownAt(), PadModel::kNever);

  rig->setKnob(7);
  EXPECT_EQ(rig->knob(), 5);
  EXPECT_EQ(rig.settings().value("knob"), "5");
  rig->setKey({4, Chords::Mode::major}, false);
  rig->shiftTonic(-5);
  EXPECT_EQ(rig->key().get().tonic, 11);
  rig->setBpm(250);
  rig->toggleBass();
  rig->setQuantize(false);
  rig->setVolume(0.3);
  EXPECT_EQ(rig.settings().value("key"), R"({"mode":"major","tonic":11})");
  EXPECT_EQ(rig.settings().value("bpm"), "200");
  EXPECT_EQ(rig.settings().value("bass"), "false");
  EXPECT_EQ(rig.settings().value("quantize"), "false");
  EXPECT_EQ(rig.settings().value("volume"), "0.3");

  // A second model on the same store starts where the first left off.
  ModelRig again(Stored{
      {"key", *rig.settings().value("key")}, {"knob", "5"}, {"bpm", "200"}, {"volume", "0.3"}});
  EXPECT_EQ(again->key().get(), (Chords::Key{11, Chords::Mode::major}));
  EXPECT_EQ(again->volume(), 0.3);
}

TEST(PadModelSettingsTest, MuteRestoresThePreviousVolume) {
  ModelRig rig;
  rig->toggleMute();  // at 0.8
  EXPECT_EQ(rig->volume(), 0.0);
  EXPECT_EQ(rig->engine().volume(), 0.0f);
  rig->toggleMute();
  EXPECT_EQ(rig->volume(), 0.8);

  rig->setVolume(0.5);
  rig->toggleMute();
  rig->toggleMute();
  EXPECT_EQ(rig->volume(), 0.5);
  EXPECT_EQ(rig->engine().volume(), 0.25f);
}

TEST(PadModelSettingsTest, ObserversSeeOnlyInRangeVolumes) {
  ModelRig rig;
  std::vector<double> seen;
  Subscription s = rig->volume().subscribe([&](const double& v) { seen.push_back(v); });
  rig->setVolume(1.7);
  rig->setVolume(std::nan(""));
  EXPECT_EQ(seen, (std::vector{1.0}));
}

TEST(PadModelModifierTest, EitherSourceHoldsAModifier) {
  ModelRig rig;
  rig->setModifier(Modifier::tabKey, true);
  rig->updateModifiers(true);
  rig->setModifier(Modifier::key8, true);
  rig->updateModifiers(true);
  rig->setModifier(Modifier::tabKey, false);
  rig->updateModifiers(false);
  EXPECT_TRUE(rig->sevenths());
  EXPECT_TRUE(rig->legendUp());

  rig->setModifier(Modifier::key8, false);
  rig->updateModifiers(false);
  EXPECT_FALSE(rig->sevenths());
  EXPECT_FALSE(rig->legendUp());

  rig->setModifier(Modifier::key9, true);
  rig->setModifier(Modifier::key0, true);
  rig->updateModifiers(true);
  EXPECT_TRUE(rig->ninths());
  EXPECT_TRUE(rig->strum());
  rig->releaseAllPads();
  EXPECT_FALSE(rig->ninths() || rig->strum() || rig->legendUp());
}

TEST(PadModelModifierTest, LegendShowsOnlyWhileModifiersAreHeldWithoutPlaying) {
  ModelRig rig;
  rig->setModifier(Modifier::shiftKey, true);
  rig->updateModifiers(true);
  const double pressedAt = rig.clock.nowMs();
  EXPECT_FALSE(rig->screenInput(pressedAt + 600).legend);  // not before 600 ms
  const auto legend = rig->screenInput(pressedAt + 601).legend;
  ASSERT_TRUE(legend);
  EXPECT_TRUE(legend->seventh);  // a ninth brings its seventh
  EXPECT_TRUE(legend->ninth);
  EXPECT_FALSE(legend->strum);

  rig->holdPad(2);
  rig->press(2);  // playing clears the legend while the modifier stays held
  EXPECT_FALSE(rig->legendUp());
  EXPECT_FALSE(rig->screenInput(pressedAt + 5000).legend);
  EXPECT_TRUE(rig->ninths());
}

TEST(PadModelPressTest, PressShowsTheChordAndParksItsHit) {
  ModelRig rig;
  rig->setModifier(Modifier::tabMouse, true);
  rig->updateModifiers(true);
  rig->press(4, 64);
  ASSERT_EQ(rig->pending().size(), 1u);
  const ChordHit& hit = rig->pending().begin()->second;
  EXPECT_EQ(rig->pending().begin()->first, 1);  // tags start at 1
  EXPECT_EQ(hit.velocity, 64);
  EXPECT_EQ(hit.voicing.gain, velocityGain(64));
  EXPECT_TRUE(hit.seventh);
  EXPECT_EQ(hit.hold, 0.2);
  ASSERT_TRUE(rig->shownChord().get());
  EXPECT_EQ(*rig->shownChord().get(), rig->shownFor(4));
  // The shown chord never includes the bass note the pad sounds.
  EXPECT_LT(rig->shownChord().get()->notes.size(), hit.voicing.notes.size());
  EXPECT_EQ(rig->shownChord().get()->color, Chords::padColor(4));
  EXPECT_TRUE(rig->tickerRunning());
}

TEST(PadModelPressTest, TagsWrapAndPendingStaysBounded) {
  ModelRig rig;
  std::int32_t last = 0;
  std::size_t most = 0;
  for (int i = 0; i < 500000 + 10; ++i) {
    // Tags are handed out by presses; only the stretch around the wrap needs
    // the full press, elsewhere the tag counter alone moves on.
    const bool nearWrap = i < 200 || i >= 500000 - 200;
    if (nearWrap) {
      rig->press(i % 7);
      last = rig->nextTag();
      most = std::max(most, rig->pending().size());
    } else {
      last = rig->takeTag();
    }
    ASSERT_EQ(last, (i + 1) % 500000);
  }
  EXPECT_LE(most, 65u);
  // After the wrap the presses just before it are still recent.
  EXPECT_TRUE(rig->pending().contains(499999));
  EXPECT_FALSE(rig->pending().contains(499900));
}

TEST(PadModelPressTest, ReleaseMarksThePadAndOnlyHeldPadsCount) {
  ModelRig rig;
  rig->release(3);  // never held: nothing happens
  EXPECT_EQ(rig->releasedAt().get()[3], PadModel::kNever);
  rig->holdPad(3);
  rig->press(3);
  rig.main.advance(250);
  rig->release(3);
  EXPECT_EQ(rig->releasedAt().get()[3], rig.clock.nowMs());
  EXPECT_TRUE(rig->held().get().empty());
}

TEST(PadModelMidiTest, WhiteKeysPlayPadsAndSourcesKeepTheEngineUp) {
  ModelRig rig;
  rig.sources = 2;
  rig->midi().refreshSources();
  EXPECT_TRUE(rig->engine().keepRunning());
  EXPECT_TRUE(rig->engine().running());
  rig.sources = 0;
  rig->midi().refreshSources();
  EXPECT_FALSE(rig->engine().keepRunning());

  // C, D, E, F, G, A, B of any octave are pads 0 … 6; black keys play none.
  const std::pair<std::uint32_t, int> keys[] = {{60, 0}, {62, 1},  {64, 2}, {65, 3},
                                                {67, 4}, {69, 5},  {71, 6}, {61, -1},
                                                {0, 0},  {127, 4}, {70, -1}};
  for (auto [note, pad] : keys) EXPECT_EQ(midiNoteOn(note, 0), pad) << note;
}

TEST(PadModelMidiTest, StrumOffOnlyShowsStrumOnPlaysAStrum) {
  ModelRig rig;
  rig->midiNote(2, 80);
  EXPECT_TRUE(rig->pending().empty());  // the core played it by itself
  EXPECT_EQ(*rig->shownChord().get(), rig->shownFor(2));
  EXPECT_EQ(rig->releasedAt().get()[2], rig.clock.nowMs());
  EXPECT_TRUE(rig->held().get().empty());

  rig->setModifier(Modifier::spaceKey, true);
  rig->updateModifiers(true);
  rig->midiNote(5, 80);
  ASSERT_EQ(rig->pending().size(), 1u);
  const Voicing& voicing = rig->pending().begin()->second.voicing;
  EXPECT_EQ(voicing.gain, velocityGain(80));
  EXPECT_GT(voicing.offsets.back(), 0.0);  // strummed
  EXPECT_TRUE(rig->held().get().empty());

  rig->midiNote(-1, 80);  // a note that maps to no pad
  EXPECT_EQ(rig->pending().size(), 1u);
}

TEST(PadModelPanelTest, PickerFramesAndOverlays) {
  ModelRig rig;
  rig->setFrame("key", {10, 10, 20, 10});
  rig->setFrame("picker", {0, 30, 100, 50});
  EXPECT_TRUE(rig->insidePickerFrames({15, 15}));
  EXPECT_TRUE(rig->insidePickerFrames({50, 60}));
  EXPECT_FALSE(rig->insidePickerFrames({50, 15}));

  const double t = rig.clock.nowMs();
  rig->setVolume(0.4);
  rig->setKnob(0);
  ChordScreen::Input input = rig->screenInput(t + 650);
  EXPECT_EQ(input.volume, 0.4);
  EXPECT_EQ(input.knob, 0);
  input = rig->screenInput(t + 800);
  EXPECT_EQ(input.volume, 0.4);
  EXPECT_FALSE(input.knob);
  rig->setKnobDragging(true);
  EXPECT_EQ(rig->screenInput(t + 5000).knob, 0);
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
  rig->setVolume(0.2);
  EXPECT_TRUE(rig->tickerRunning());
}

}  // namespace
}  // namespace quimbel

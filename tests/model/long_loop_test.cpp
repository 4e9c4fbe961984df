// A whole song sketched as one take: 64 bars of eighth-note chords looping
// on the real engine, far more than the core's command queue holds at once.

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "audio/core/render_core_state.h"
#include "model/model_rig.h"
#include "model/pad_model.h"
#include "music/chords.h"

namespace quimbel {
namespace {

using testing::ModelRig;
using Modifier = PadModel::Modifier;
using NoteStart = std::pair<std::int64_t, int>;  // frame, MIDI note

constexpr int kBars = 64;
constexpr int kBpm = 200;  // a bar of 1.2 s keeps the render short
constexpr int kLivePad = 3;

// Every note start of the core, read from its voices after each buffer: a
// voice keeps sounding far longer than a buffer, so none is missed.
struct StartWatch {
  std::multiset<NoteStart> starts;
  std::map<const CoreSample*, int> sampleNotes;
  std::vector<std::pair<const CoreSample*, std::int64_t>> seen =
      std::vector<std::pair<const CoreSample*, std::int64_t>>(CoreVoiceCount);

  void look(const RenderCore* core) {
    if (sampleNotes.empty()) {
      for (int note = 0; note < 128; ++note) {
        if (const CoreSample* s = core->samples[note].load()) sampleNotes[s] = note;
      }
    }
    for (int v = 0; v < CoreVoiceCount; ++v) {
      const Voice& voice = core->voices[v];
      if (voice.sample == nullptr || voice.isClick != 0) continue;
      const std::pair<const CoreSample*, std::int64_t> id{voice.sample, voice.startFrame};
      if (seen[v] == id) continue;
      seen[v] = id;
      const int semitones = static_cast<int>(std::lround(12.0 * std::log2(voice.step)));
      starts.insert({voice.startFrame, sampleNotes.at(voice.sample) + semitones});
    }
  }
};

// Everything one run of the loop shows: the note starts, the chords the
// screen was given with whether their pad was lit at that moment, and
// whether the loop ever put out the light of the pad the user held down.
struct LongLoop {
  std::vector<ChordHit> events;
  std::int64_t playStart = 0;
  std::int64_t passLength = 0;
  double rate = 0.0;
  StartWatch watch;
  std::vector<std::pair<ChordScreen::Shown, std::set<int>>> shown;  // with the lit pads
  std::size_t shownBeforeLivePress = 0;
  std::int64_t livePressFrame = 0;
  std::vector<int> liveNotes;
  int loopLitWhileHeld = 0;
  bool heldPadWentDark = false;
};

// 512 hits of five notes (ninth chords), pads in turn,
// looped twice; halfway through the first pass the user holds a pad down
// for 1.5 s.
LongLoop runLongLoop() {
  LongLoop loop;
  LongLoop* run = &loop;
  ModelRig rig;
  rig->setBpm(kBpm);
  rig->engine().ensureRunning();
  rig->toggleBass();  // off: a ninth chord is then always five notes
  rig->setModifier(Modifier::shiftKey, true);
  rig->updateModifiers(false);
  const double grid = 60.0 / kBpm * 4 * 0.125;
  std::vector<ChordHit> hits;
  for (int i = 0; i < kBars * 8; ++i) {
    hits.push_back(rig->hitFor(i % PadModel::kPads));
    hits.back().t = grid * i;
  }
  rig->setModifier(Modifier::shiftKey, false);
  rig->updateModifiers(false);
  rig->finishRecording(hits, kBars * 8 * grid);
  run->events = rig->events();
  run->rate = rig->engine().rate();

  bool holding = false;
  Subscription lit = rig->held().subscribe([&](const std::set<int>& held) {
    if (holding && !held.contains(kLivePad)) run->heldPadWentDark = true;
  });
  Subscription shown =
      rig->shownChord().subscribe([&](const std::optional<ChordScreen::Shown>& chord) {
        if (!chord) return;
        run->shown.emplace_back(*chord, rig->held().get());
        if (holding && chord->color == Chords::padColor(kLivePad)) ++run->loopLitWhileHeld;
      });
  rig.afterBuffer = [&] { run->watch.look(rig->engine().core()); };

  rig->togglePlay();
  run->playStart = rig->playStart();
  run->passLength = std::llround(run->rate * rig->loopLength());
  rig.runTo(run->playStart + run->passLength / 2);
  run->shownBeforeLivePress = run->shown.size();
  run->livePressFrame = rig.frame();
  run->liveNotes = rig->hitFor(kLivePad).voicing.notes;
  rig->holdPad(kLivePad);
  rig->press(kLivePad);
  holding = true;
  rig.runFor(1.5);
  holding = false;
  rig->release(kLivePad);
  rig.runTo(run->playStart + 2 * run->passLength);
  return loop;
}

const LongLoop& longLoop() {
  static const LongLoop run = runLongLoop();
  return run;
}

TEST(LongLoopTest, EveryNoteOfFiveHundredTwelveChordsStartsOnItsFrameInBothPasses) {
  const LongLoop& run = longLoop();
  ASSERT_EQ(run.events.size(), 512u);
  std::multiset<NoteStart> expected;
  for (int pass = 0; pass < 2; ++pass) {
    for (const ChordHit& hit : run.events) {
      ASSERT_EQ(hit.voicing.notes.size(), 5u);
      const std::int64_t start =
          run.playStart + pass * run.passLength + std::llround(run.rate * hit.t);
      for (std::size_t j = 0; j < hit.voicing.notes.size(); ++j) {
        expected.insert(
            {start + std::llround(run.rate * hit.voicing.offsets[j]), hit.voicing.notes[j]});
      }
    }
  }
  // The chord pressed during playback sounds at once, beside the loop's.
  for (int note : run.liveNotes) expected.insert({run.livePressFrame, note});

  std::multiset<NoteStart> started;
  for (const NoteStart& s : run.watch.starts) {
    if (s.first < run.playStart + 2 * run.passLength) started.insert(s);
  }
  EXPECT_EQ(started.size(), expected.size());
  EXPECT_TRUE(started == expected);
}

TEST(LongLoopTest, NoticesOfTheLoopArriveInOrderAndLightTheirPads) {
  const LongLoop& run = longLoop();
  // Every chord of both passes reaches the screen in take order, its pad lit
  // as it does; the live press shows its own chord in between.
  auto loopShown = run.shown;
  ASSERT_GT(loopShown.size(), run.shownBeforeLivePress);
  EXPECT_EQ(loopShown[run.shownBeforeLivePress].first.color, Chords::padColor(kLivePad));
  loopShown.erase(loopShown.begin() + static_cast<std::ptrdiff_t>(run.shownBeforeLivePress));
  ASSERT_EQ(loopShown.size(), 2 * run.events.size());
  for (std::size_t k = 0; k < loopShown.size(); ++k) {
    const ChordHit& hit = run.events[k % run.events.size()];
    ASSERT_EQ(loopShown[k].first, hit.shown) << k;
    EXPECT_TRUE(loopShown[k].second.contains(hit.pad)) << k;
  }
  // The loop lit the held pad and let it go dark again, but never while the
  // user held it down.
  EXPECT_GE(run.loopLitWhileHeld, 1);
  EXPECT_FALSE(run.heldPadWentDark);
}

}  // namespace
}  // namespace quimbel

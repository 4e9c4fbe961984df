// A whole song sketched as one take: 64 bars of eighth-note chords looping
// on the real engine, far more than the core's command queue holds at once.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
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
  std::array<std::pair<const CoreSample*, std::int64_t>, CoreVoiceCount> seen{};

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

// Finishes a take of `count` ninth chords without the bass (five notes),
// pads in turn, `spacing` seconds apart, as the recording would.
void finishNinthChords(ModelRig& rig, int count, double spacing, double rawLength) {
  if (rig->bass()) rig->toggleBass();
  rig->setModifier(Modifier::shiftKey, true);
  rig->updateModifiers(false);
  std::vector<ChordHit> hits;
  for (int i = 0; i < count; ++i) {
    hits.push_back(rig->hitFor(i % PadModel::kPads));
    hits.back().t = spacing * i;
  }
  rig->setModifier(Modifier::shiftKey, false);
  rig->updateModifiers(false);
  rig->finishRecording(hits, rawLength);
}

// Every note start the loop owes in its first `passes` passes.
std::multiset<NoteStart> loopStarts(const std::vector<ChordHit>& events, std::int64_t playStart,
                                    std::int64_t passLength, double rate, int passes) {
  std::multiset<NoteStart> starts;
  for (int pass = 0; pass < passes; ++pass) {
    for (const ChordHit& hit : events) {
      const std::int64_t start = playStart + pass * passLength + std::llround(rate * hit.t);
      for (std::size_t j = 0; j < hit.voicing.notes.size(); ++j) {
        starts.insert({start + std::llround(rate * hit.voicing.offsets[j]), hit.voicing.notes[j]});
      }
    }
  }
  return starts;
}

std::multiset<NoteStart> startsBefore(const StartWatch& watch, std::int64_t end) {
  std::multiset<NoteStart> starts;
  for (const NoteStart& s : watch.starts) {
    if (s.first < end) starts.insert(s);
  }
  return starts;
}

// Everything one run of the long loop shows: the note starts, the chords the
// screen was given with the pads lit at that moment, and whether the loop
// ever put out the light of the pad the user held down.
struct LongLoop {
  std::vector<ChordHit> events;
  std::int64_t playStart = 0;
  std::int64_t passLength = 0;
  double rate = 0.0;
  StartWatch watch;
  std::vector<std::pair<ChordScreen::Shown, std::set<int>>> shown;
  std::size_t shownBeforeLivePress = 0;
  std::int64_t livePressFrame = 0;
  std::vector<int> liveNotes;
  int loopLitWhileHeld = 0;
  bool heldPadWentDark = false;
};

// 64 bars of eighth-note chords (512 hits) looped twice; halfway through the
// first pass the user presses a pad and holds it down for 1.5 s.
LongLoop runLongLoop() {
  LongLoop run;
  ModelRig rig;
  rig->setBpm(kBpm);
  rig->engine().ensureRunning();
  const double eighth = 60.0 / kBpm * 4 * 0.125;
  finishNinthChords(rig, kBars * 8, eighth, kBars * 8 * eighth);
  run.events = rig->events();
  run.rate = rig->engine().rate();

  bool holding = false;
  Subscription lit = rig->held().subscribe([&](const std::set<int>& held) {
    if (holding && !held.contains(kLivePad)) run.heldPadWentDark = true;
  });
  Subscription shown =
      rig->shownChord().subscribe([&](const std::optional<ChordScreen::Shown>& chord) {
        if (!chord) return;
        run.shown.emplace_back(*chord, rig->held().get());
        if (holding && chord->color == Chords::padColor(kLivePad)) ++run.loopLitWhileHeld;
      });
  rig.afterBuffer = [&] { run.watch.look(rig->engine().core()); };

  rig->togglePlay();
  run.playStart = rig->playStart();
  run.passLength = std::llround(run.rate * rig->loopLength());
  rig.runTo(run.playStart + run.passLength / 2);
  run.shownBeforeLivePress = run.shown.size();
  run.livePressFrame = rig.frame();
  run.liveNotes = rig->hitFor(kLivePad).voicing.notes;
  rig->holdPad(kLivePad);
  rig->press(kLivePad);
  holding = true;
  rig.runFor(1.5);
  holding = false;
  rig->release(kLivePad);
  rig.runTo(run.playStart + 2 * run.passLength);
  return run;
}

const LongLoop& longLoop() {
  static const LongLoop run = runLongLoop();
  return run;
}

TEST(LongLoopTest, EveryNoteOfFiveHundredTwelveChordsStartsOnItsFrameInBothPasses) {
  const LongLoop& run = longLoop();
  ASSERT_EQ(run.events.size(), 512u);
  for (const ChordHit& hit : run.events) ASSERT_EQ(hit.voicing.notes.size(), 5u);
  std::multiset<NoteStart> expected =
      loopStarts(run.events, run.playStart, run.passLength, run.rate, 2);
  // The chord pressed during playback sounds at once, beside the loop's.
  for (int note : run.liveNotes) expected.insert({run.livePressFrame, note});

  const auto started = startsBefore(run.watch, run.playStart + 2 * run.passLength);
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
  // The loop lit the held pad and its light ran out, but the pad stayed lit
  // until the user let go.
  EXPECT_GE(run.loopLitWhileHeld, 1);
  EXPECT_FALSE(run.heldPadWentDark);
}

TEST(LongLoopTest, DenseUnquantizedTakesWaitForRoomInsteadOfLosingChords) {
  // Chords of a 2 s pass and the frames between them: 400 chords fill the
  // loop's share of the command queue again and again in the first second;
  // 1500 chords are more than the scheduled list may hold waiting.
  struct Row {
    int chords;
    int framesApart;
    bool fillsTheList;
  };
  for (const Row row : {Row{400, 240, false}, Row{1500, 64, true}}) {
    ModelRig rig;
    rig->engine().ensureRunning();
    rig->setQuantize(false);
    finishNinthChords(rig, row.chords, row.framesApart / 48000.0, 2.0);
    ASSERT_EQ(rig->loopLength(), 2.0);
    StartWatch watch;
    int leastRoom = CoreQueueCapacity;
    int mostWaiting = 0;
    rig.afterBuffer = [&] {
      const RenderCore* core = rig->engine().core();
      watch.look(core);
      leastRoom = std::min(leastRoom, rig->engine().commandRoom());
      mostWaiting = std::max(mostWaiting, core->scheduledCount);
    };

    rig->togglePlay();
    leastRoom = std::min(leastRoom, rig->engine().commandRoom());
    // A press while the queue is at its fullest still sounds at once.
    const std::int64_t pressed = rig.frame();
    const std::vector<int> liveNotes = rig->hitFor(kLivePad).voicing.notes;
    rig->press(kLivePad);
    const std::int64_t end = rig->playStart() + 2 * 96000;
    rig.runTo(end);

    std::multiset<NoteStart> expected =
        loopStarts(rig->events(), rig->playStart(), 96000, 48000, 2);
    for (int note : liveNotes) expected.insert({pressed, note});
    const auto started = startsBefore(watch, end);
    EXPECT_EQ(started.size(), expected.size()) << row.chords;
    EXPECT_TRUE(started == expected) << row.chords;
    // Both rows press against the queue's share; only the denser one
    // against the list's.
    const int chordEntries = 6;
    EXPECT_GE(leastRoom, PadModel::kLoopQueueRoomKept) << row.chords;
    EXPECT_LT(leastRoom, PadModel::kLoopQueueRoomKept + chordEntries) << row.chords;
    EXPECT_LE(mostWaiting, PadModel::kLoopWaitingLimit) << row.chords;
    EXPECT_EQ(mostWaiting > PadModel::kLoopWaitingLimit - chordEntries, row.fillsTheList)
        << row.chords;
  }
}

}  // namespace
}  // namespace quimbel

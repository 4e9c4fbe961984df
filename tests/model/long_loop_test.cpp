// A whole song sketched as one take: 64 bars of eighth-note chords looping
// on the real engine, far more than the core's command queue holds at once.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "audio/core/render_core_state.h"
#include "model/model_rig.h"
#include "music/chords.h"

namespace quimbel {
namespace {

using testing::ModelRig;
using NoteStart = std::pair<std::int64_t, int>;  // frame, MIDI note

constexpr int kLivePad = 3;

// Every note start of the core, read from its voices after each buffer: a
// voice keeps sounding far longer than a buffer, so none is missed.
struct StartWatch {
  std::set<std::tuple<std::int64_t, int, int>> starts;  // frame, MIDI note, voice
  std::map<const CoreSample*, int> sampleNotes;

  void look(const RenderCore* core) {
    if (sampleNotes.empty())
      for (int note = 0; note < 128; ++note)
        if (const CoreSample* s = core->samples[note].load()) sampleNotes[s] = note;
    for (int v = 0; v < CoreVoiceCount; ++v) {
      const Voice& voice = core->voices[v];
      if (voice.sample == nullptr || voice.isClick != 0) continue;
      const int semitones = static_cast<int>(std::lround(12.0 * std::log2(voice.step)));
      starts.insert({voice.startFrame, sampleNotes.at(voice.sample) + semitones, v});
    }
  }
};

// Finishes a take of `count` ninth chords without the bass (five notes),
// pads in turn, `spacing` seconds apart, as the recording would.
void finishNinthChords(ModelRig& rig, int count, double spacing, double rawLength) {
  if (rig->bass()) rig->toggleBass();
  rig->setModifier(PadModel::Modifier::shiftKey, true);
  rig->updateModifiers(false);
  std::vector<ChordHit> hits;
  for (int i = 0; i < count; ++i) {
    hits.push_back(rig->hitFor(i % PadModel::kPads));
    hits.back().t = spacing * i;
  }
  rig->setModifier(PadModel::Modifier::shiftKey, false);
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
      for (std::size_t j = 0; j < hit.voicing.notes.size(); ++j)
        starts.insert({start + std::llround(rate * hit.voicing.offsets[j]), hit.voicing.notes[j]});
    }
  }
  return starts;
}

std::multiset<NoteStart> startsBefore(const StartWatch& watch, std::int64_t end) {
  std::multiset<NoteStart> starts;
  for (const auto& [frame, note, voice] : watch.starts)
    if (frame < end) starts.insert({frame, note});
  return starts;
}

// 64 bars of eighth-note chords (512 hits) looped twice; halfway through the
// first pass the user presses a pad and holds it down for 1.5 s. Every note
// starts on its frame, every chord reaches the screen in take order with its
// pad lit, and the loop never puts out the light of the pad held down.
TEST(LongLoopTest, FiveHundredTwelveChordsLoopTwiceOnTheirFramesWithALivePressBetween) {
  ModelRig rig;
  rig->setBpm(200);  // a bar of 1.2 s keeps the render short
  rig->engine().ensureRunning();
  finishNinthChords(rig, 512, 0.15, 512 * 0.15);  // an eighth is 0.15 s
  const std::vector<ChordHit> events = rig->events();

  bool holding = false, heldPadWentDark = false;
  int loopLitWhileHeld = 0;
  std::vector<std::pair<ChordScreen::Shown, std::set<int>>> shown;
  Subscription lit = rig->held().subscribe([&](const std::set<int>& held) {
    if (holding && !held.contains(kLivePad)) heldPadWentDark = true;
  });
  Subscription screen =
      rig->shownChord().subscribe([&](const std::optional<ChordScreen::Shown>& chord) {
        if (!chord) return;
        shown.emplace_back(*chord, rig->held().get());
        if (holding && chord->color == Chords::padColor(kLivePad)) ++loopLitWhileHeld;
      });
  StartWatch watch;
  rig.afterBuffer = [&] { watch.look(rig->engine().core()); };

  rig->togglePlay();
  const std::int64_t playStart = rig->playStart();
  const std::int64_t passLength = std::llround(48000 * rig->loopLength());
  rig.runTo(playStart + passLength / 2);
  const std::size_t shownBeforeLivePress = shown.size();
  std::multiset<NoteStart> expected = loopStarts(events, playStart, passLength, 48000, 2);
  // The chord pressed during playback sounds at once, beside the loop's.
  for (int note : rig->hitFor(kLivePad).voicing.notes) expected.insert({rig.frame(), note});
  rig->holdPad(kLivePad);
  rig->press(kLivePad);
  holding = true;
  rig.runFor(1.5);
  holding = false;
  rig->release(kLivePad);
  rig.runTo(playStart + 2 * passLength);
  EXPECT_TRUE(startsBefore(watch, playStart + 2 * passLength) == expected);

  // The live press shows its own chord between the loop's.
  EXPECT_EQ(shown[shownBeforeLivePress].first.color, Chords::padColor(kLivePad));
  shown.erase(shown.begin() + static_cast<std::ptrdiff_t>(shownBeforeLivePress));
  ASSERT_EQ(shown.size(), 2 * 512u);
  for (std::size_t k = 0; k < shown.size(); ++k) {
    const ChordHit& hit = events[k % events.size()];
    ASSERT_EQ(shown[k].first, hit.shown) << k;
    EXPECT_TRUE(shown[k].second.contains(hit.pad)) << k;
  }
  // The loop lit the held pad and its light ran out, but the pad stayed lit
  // until the user let go.
  EXPECT_GE(loopLitWhileHeld, 1);
  EXPECT_FALSE(heldPadWentDark);
}

TEST(LongLoopTest, DenseUnquantizedTakesWaitForRoomInsteadOfLosingChords) {
  // 1500 chords 64 frames apart in a 2 s pass fill the loop's share of the
  // command queue again and again, and are more than the scheduled list may
  // hold waiting.
  ModelRig rig;
  rig->engine().ensureRunning();
  rig->setQuantize(false);
  finishNinthChords(rig, 1500, 64 / 48000.0, 2.0);
  StartWatch watch;
  int leastRoom = CoreQueueCapacity, mostWaiting = 0;
  rig.afterBuffer = [&] {
    watch.look(rig->engine().core());
    leastRoom = std::min(leastRoom, rig->engine().commandRoom());
    mostWaiting = std::max(mostWaiting, rig->engine().core()->scheduledCount);
  };

  rig->togglePlay();
  leastRoom = std::min(leastRoom, rig->engine().commandRoom());
  // A press while the queue is at its fullest still sounds at once.
  std::multiset<NoteStart> expected = loopStarts(rig->events(), rig->playStart(), 96000, 48000, 2);
  for (int note : rig->hitFor(kLivePad).voicing.notes) expected.insert({rig.frame(), note});
  rig->press(kLivePad);
  const std::int64_t end = rig->playStart() + 2 * 96000;
  rig.runTo(end);
  EXPECT_TRUE(startsBefore(watch, end) == expected);
  // Both fill up to within a chord's six entries.
  EXPECT_GE(leastRoom, PadModel::kLoopQueueRoomKept);
  EXPECT_LT(leastRoom, PadModel::kLoopQueueRoomKept + 6);
  EXPECT_GE(mostWaiting, PadModel::kLoopWaitingLimit - 6);
  EXPECT_LE(mostWaiting, PadModel::kLoopWaitingLimit);
}

}  // namespace
}  // namespace quimbel

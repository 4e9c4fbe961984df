#include <gtest/gtest.h>

#include <map>
#include <set>

#include "audio/core/midi_chord_map.h"
#include "audio/core/render_core_state.h"
#include "model/model_rig.h"
#include "model/pad_model.h"

namespace quimbel {
namespace {

using namespace testing;
using State = PadModel::State;

TEST(TakeTest, WholeTakeFromCountInToQuantizedResult) {
  ModelRig rig;
  std::vector<int> counts;
  Subscription s = rig->countN().subscribe([&](const int& n) {
    if (counts.empty() || counts.back() != n) counts.push_back(n);
  });
  std::int64_t pressed = 0;
  const std::int64_t downbeat = countIn(rig, &pressed);
  // Four clicks a beat apart after the 80 ms delay; the take starts on the
  // beat after the fourth.
  EXPECT_EQ(downbeat, pressed + 3840 + 4 * 24000);

  // A sixteenth before the downbeat is the limit: earlier is not recorded, a
  // thirty-second before lands on the downbeat.
  rig.runTo(downbeat - 9000);
  rig->press(5);
  rig.runTo(downbeat - 3000);
  rig->press(0);
  rig.runTo(downbeat + 500);
  EXPECT_EQ(counts, (std::vector{0, 1, 2, 3, 4, 0}));

  rig.runTo(at(downbeat, 0.60));
  rig->holdPad(2);
  rig->press(2);
  rig.runTo(at(downbeat, 0.62));
  rig->press(3);
  rig.runTo(at(downbeat, 0.90));
  rig->release(2);
  rig.runTo(at(downbeat, 1.0));
  // A MIDI keyboard: the core plays the chord on the MIDI thread, the model
  // only shows it and records it from the core's notice.
  ASSERT_EQ(midiNoteOn(62, 90), 1);
  rig->midiNote(1, 90);
  rig.runTo(at(downbeat, 2.9));
  rig->toggleRecord();

  const std::vector<ChordHit>& raw = rig->rawEvents();
  std::vector<std::pair<int, double>> hits;
  for (const ChordHit& hit : raw) hits.emplace_back(hit.pad, std::round(hit.t * 1000) / 1000);
  EXPECT_EQ(hits, (std::vector<std::pair<int, double>>{{0, 0.0}, {2, 0.6}, {3, 0.62}, {1, 1.0}}));
  EXPECT_DOUBLE_EQ(raw[1].hold, 0.30);
  EXPECT_EQ(raw[3].voicing.gain, velocityGain(90));
  EXPECT_DOUBLE_EQ(rig->rawTaken(), 2.9);

  // Quantized by quantize_test's rules: 0.62 takes the 0.60 chord's slot and
  // 2.9 s rounds to one whole bar.
  const auto take = rig->take();
  ASSERT_TRUE(take);
  EXPECT_EQ(std::tuple(take->events.size(), take->events[1].pad, take->length),
            std::tuple(3u, 3, 2.0));
}

// Loop passes as the core holds them: the frame of each tagged chord start
// and of each scheduled damping, and how far ahead of the clock pass starts
// were when the tick sent them.
struct LoopWatch {
  std::map<std::int32_t, std::set<std::int64_t>> starts;
  std::set<std::int64_t> releases;
  std::int64_t mostAhead = 0;

  void look(const RenderCore* core) {
    for (int i = 0; i < core->scheduledCount; ++i) {
      const ScheduledEvent& e = core->scheduled[i];
      if (e.isReleaseAll) releases.insert(e.frame);
      if (e.tag >= LoopTagBase && starts[e.tag].insert(e.frame).second && e.tag == LoopTagBase)
        mostAhead = std::max(mostAhead, e.frame - core->clock);
    }
  }
};

TEST(LoopTest, PassesFollowTheCoreClockOneSecondAhead) {
  ModelRig rig;
  recordTwoSecondTake(rig);
  LoopWatch watch;
  rig.afterBuffer = [&] { watch.look(rig->engine().core()); };
  const std::int64_t pressedAt = rig.frame();
  rig->togglePlay();
  const std::int64_t first = rig->playStart();
  EXPECT_EQ(first, pressedAt + 2400);
  rig.runFor(5.0);
  for (int hit : {0, 1}) {
    const std::int64_t start = first + hit * 48000;
    const std::set<std::int64_t> passes{start, start + 96000, start + 192000};
    EXPECT_EQ(watch.starts[LoopTagBase + hit], passes);
    // Every chord damps the one before it.
    for (auto frame : passes) EXPECT_TRUE(watch.releases.contains(frame)) << frame;
  }
  // Never more than a second ahead, and not much less: no gap between passes.
  EXPECT_LT(watch.mostAhead, 48000);
  EXPECT_GT(watch.mostAhead, 48000 - 500);
}

TEST(LoopTest, QuantizeToggleRestartsTheLoopFromPassZero) {
  ModelRig rig;
  recordTwoSecondTake(rig, 1.1);
  rig->togglePlay();
  rig.runFor(3.0);  // a pass and a half already planned

  LoopWatch watch;
  rig.afterBuffer = [&] { watch.look(rig->engine().core()); };
  const std::int64_t toggledAt = rig.frame();
  rig->setQuantize(false);
  // Unquantized, the second chord is back at 1.1 s; the passes planned before were cleared.
  rig.runFor(0.5);
  EXPECT_EQ(watch.starts[LoopTagBase], (std::set<std::int64_t>{toggledAt + 2400}));
  EXPECT_EQ(watch.starts[LoopTagBase + 1], (std::set<std::int64_t>{toggledAt + 2400 + 52800}));
}

TEST(TakeStateTest, DropAndUndoRestoreTheTakeUnlessARecordingStartedSince) {
  ModelRig rig;
  recordTwoSecondTake(rig);
  const std::vector<ChordHit> events = rig->events();
  rig->togglePlay();
  rig->dropTake();
  EXPECT_FALSE(rig->playing() || rig->take());
  rig->undo();
  EXPECT_EQ(rig->state(), State::done);
  EXPECT_EQ(rig->events(), events);

  // Drop, count in, cancel: the count-in forgot the dropped take.
  rig->dropTake();
  rig->toggleRecord();
  rig->toggleRecord();
  rig->undo();
  EXPECT_EQ(rig->state(), State::ready);
  EXPECT_FALSE(rig->take() || rig->exportMidi());
}

TEST(TakeStateTest, EmptyRecordingReturnsToReadyAndKeepsTheMetronome) {
  ModelRig rig;
  rig->toggleMetronome();
  rig.runTo(countIn(rig) + 4800);
  rig->toggleRecord();
  EXPECT_EQ(rig->state(), State::ready);
  rig.runFor(0.6);
  EXPECT_TRUE(rig->engine().metronomeRunning());
}

}  // namespace
}  // namespace quimbel

// The chords as MIDI through the sequencer's output port: what the pads, a
// MIDI keyboard and the loop send, and that nothing is left hanging.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <numeric>
#include <vector>

#include "audio/core/midi_chord_map.h"
#include "audio/core/render_core_state.h"
#include "model/model_rig.h"
#include "music/voicing.h"

namespace quimbel {
namespace {

using testing::ModelRig;

struct Sent {
  std::uint8_t status, note, value;
  double atMs;  // when the sequencer delivers it: the send's time plus its delay
};

// One chord as it went out: its note-ons, sorted, with their velocity.
struct Group {
  std::vector<int> notes;
  int velocity = 0;
  double atMs = 0;
};

class MidiOutTest : public ::testing::Test {
 protected:
  // What goes out of the output port is recorded, timed by the rig's clock.
  void make(testing::Stored stored = {{"midi/send", "true"}, {"midi/channel", "3"}}) {
    rig = std::make_unique<ModelRig>(stored);
    rig->sequencer.sent = [this, &clock = rig->clock](auto status, auto note, auto value,
                                                      double delay) {
      sent.push_back({status, note, value, clock.nowMs() + delay * 1000.0});
    };
  }

  // Note-ons that go out within 1 ms of each other form one chord.
  std::vector<Group> groups() const {
    std::vector<Group> found;
    for (const Sent& s : sent) {
      if ((s.status & 0xF0) != 0x90) continue;
      if (found.empty() || s.atMs - found.back().atMs > 1.0) found.push_back({{}, s.value, s.atMs});
      found.back().notes.push_back(s.note);
    }
    for (Group& g : found) std::ranges::sort(g.notes);
    return found;
  }
  // Notes still sounding in the other program after everything sent.
  int hanging() const {
    int sounding[128] = {};
    for (const Sent& s : sent) {
      if ((s.status & 0xF0) == 0x90) ++sounding[s.note];
      if ((s.status & 0xF0) == 0x80) sounding[s.note] = std::max(sounding[s.note] - 1, 0);
    }
    return std::accumulate(std::begin(sounding), std::end(sounding), 0);
  }
  std::vector<int> chordOf(int pad) {
    auto notes = chordNotes(pad, (*rig)->key(), (*rig)->knob() + 2, false, false, (*rig)->bass());
    std::ranges::sort(notes);
    return notes;
  }

  std::vector<Sent> sent;
  std::unique_ptr<ModelRig> rig;
};

TEST_F(MidiOutTest, PadsAndKeyboardChordsGoOutAsThePianoPlaysThemAndAStoppedStreamEndsThem) {
  make();
  ModelRig& r = *rig;
  r->engine().ensureRunning();
  for (int pad = 0; pad < 7; ++pad) {
    r->holdPad(pad);
    r->press(pad);
    r.runFor(0.1);
    r->release(pad);
    r.runFor(0.1);
  }
  // A MIDI keyboard's D (pad 2's white key is E: D plays pad 1) at velocity 70.
  const std::uint32_t d4 = 0x20000000u | (0x90u << 16) | (62u << 8) | 70u;
  r->midi().receive(std::span<const std::uint32_t>(&d4, 1));
  r.main.runPending();
  r.runFor(0.1);

  const std::vector<Group> chords = groups();
  ASSERT_EQ(chords.size(), 8u);
  for (int pad = 0; pad < 7; ++pad) {
    EXPECT_EQ(chords[pad].notes, chordOf(pad)) << pad;
    EXPECT_EQ(chords[pad].velocity, PadModel::kKeyVelocity);
  }
  EXPECT_EQ(chords[7].notes, chordOf(1));
  EXPECT_EQ(chords[7].velocity, 70);
  EXPECT_TRUE(std::ranges::all_of(sent, [](const Sent& s) { return (s.status & 0x0F) == 2; }))
      << "channel 3";
  // Each chord ends the one before: only the last one still sounds.
  EXPECT_EQ(hanging(), static_cast<int>(chordOf(1).size()));
  EXPECT_EQ(static_cast<int>(r->midiOut().sounding().size()), hanging());

  // A stopped stream ends it (the output switches, or the panel hid and the
  // audio stopped); quitting ends the next and says "all notes off".
  r->engine().stop();
  r.main.advance(10.0);
  EXPECT_EQ(hanging(), 0);
  r->engine().ensureRunning();
  r->press(3);
  r.runFor(0.1);
  ASSERT_GT(hanging(), 0);
  rig.reset();
  EXPECT_EQ(hanging(), 0);
  EXPECT_EQ(sent.back().status, 0xB2);
  EXPECT_EQ(sent.back().note, 123);
}

TEST_F(MidiOutTest, TheLoopSendsEachPassAtTheTimesItsChordsSound) {
  make();
  ModelRig& r = *rig;
  testing::recordTwoSecondTake(r);  // pad 0 on the downbeat, pad 4 at 1 s
  sent.clear();
  r->togglePlay();
  r.runFor(4.1);

  const std::vector<Group> chords = groups();
  ASSERT_GE(chords.size(), 4u);
  const double bufferMs = OnDemandBackend::BufferFrames / 48.0;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(chords[i].notes, chordOf(i % 2 == 0 ? 0 : 4)) << i;
  EXPECT_NEAR(chords[1].atMs - chords[0].atMs, 1000.0, bufferMs);
  // The second pass repeats the first, a loop length later.
  EXPECT_NEAR(chords[2].atMs - chords[0].atMs, 2000.0, bufferMs);
  EXPECT_NEAR(chords[3].atMs - chords[1].atMs, 2000.0, bufferMs);

  // Stopping the loop, then dropping the take, ends the notes at once.
  ASSERT_GT(hanging(), 0);
  r->togglePlay();
  EXPECT_EQ(hanging(), 0);
  // The core's own report, which JACK's midi_out carries, ends them too,
  // while the last chord still rings in the piano.
  r.runFor(0.05);
  const auto& voices = r->engine().core()->voices;
  EXPECT_TRUE(std::ranges::none_of(
      voices, [](const Voice& v) { return v.sample != nullptr && v.midiState == MidiOnSaid; }));
  EXPECT_TRUE(std::ranges::any_of(
      voices, [](const Voice& v) { return v.sample != nullptr && v.isClick == 0; }));
  r->togglePlay();
  r.runFor(0.2);
  ASSERT_GT(hanging(), 0);
  r->dropTake();
  EXPECT_EQ(hanging(), 0);
}

TEST_F(MidiOutTest, OffByDefaultAMutedPianoOnlyWhileSendingAndTurnedOffItEndsTheNotes) {
  make({});
  ModelRig& r = *rig;
  r->engine().ensureRunning();
  r->press(0);
  r.runFor(0.1);
  EXPECT_TRUE(sent.empty());
  EXPECT_TRUE(r->midiOut().localPiano());
  EXPECT_EQ(r->midiOut().channel(), 1);
  r->midiOut().setLocalPiano(false);
  EXPECT_EQ(r->engine().core()->pianoMuted.load(), 0u) << "not sending: the piano plays";
  r->midiOut().setSending(true);
  EXPECT_EQ(r->engine().core()->pianoMuted.load(), 1u);
  EXPECT_EQ(r.settings().value("midi/localPiano"), "false");

  // Turning sending off ends the sounding notes and sends nothing more.
  r->press(2);
  r.runFor(0.1);
  ASSERT_GT(hanging(), 0);
  r->midiOut().setSending(false);
  EXPECT_EQ(hanging(), 0);
  r->press(5);
  r.runFor(0.1);
  EXPECT_EQ(groups().size(), 1u) << "nothing goes out while sending is off";
}

}  // namespace
}  // namespace quimbel

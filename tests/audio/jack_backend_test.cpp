#include "audio/jack_backend.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <tuple>
#include <vector>

#include "audio/core/core_fixture.h"
#include "audio/core/midi_chord_map.h"
#include "audio/fake_jack_server.h"
#include "audio/piano_engine.h"
#include "base/manual_main_thread.h"

namespace quimbel {
namespace {

using testing::FakeJackServer;

void installTones(RenderCore* core, double) {
  for (std::uint32_t note : {48u, 60u, 72u})
    freeSample(
        installSample(core, note, testing::toneSample(8.18 * std::pow(2.0, note / 12.0), 30000)));
}

// Chords at once and a little later, notes on frames inside periods and
// across the core's 256-frame chunks, a release of everything and a
// count-in: what a take's loop and a press ask of the core.
void sendScore(RenderCore* core) {
  noteOn(core, 60, 1, 100, 0.4f, 0.0, 0.5);
  noteOn(core, 64, NoTag, 100, 0.4f, 0.0107, 0.5);
  scheduleNote(core, 48, 3001, 2, 90, 0.5f, 0.2);
  scheduleNote(core, 72, 7000, 3, 90, 0.3f, 1.0);
  scheduleReleaseAll(core, 20000);
  scheduleNote(core, 67, 20017, 4, 90, 0.3f, 1.0);
  startMetronome(core, 2, 0.05);
}

struct JackRig {
  ManualClock clock;
  ManualMainThread mainThread{clock};
  FakeJackServer server;
  JackBackend backend{server};
  PianoEngine engine{mainThread, backend, installTones};
  ~JackRig() { setMidiEngine(nullptr); }
};

TEST(JackBackendTest, EveryPeriodRendersWhat128FrameCallsRenderAndHandsOnMidiInsNotes) {
  constexpr int kFrames = 30000;
  testing::CorePtr reference(createCore(48000.0));
  installTones(reference.get(), 48000.0);
  setMidiOut(reference.get(), true, 2);
  sendScore(reference.get());
  std::vector<float> left(kFrames), right(kFrames);
  // The notes as MIDI, in time order: (frame, status, note).
  std::vector<std::tuple<std::int64_t, int, int>> midi;
  for (int at = 0; at < kFrames; at += 128) {
    render(reference.get(), &left[at], &right[at], std::min(128, kFrames - at));
    const CoreMidiEvent* events = nullptr;
    for (int i = 0, n = renderedMidi(reference.get(), &events); i < n; ++i)
      midi.emplace_back(events[i].frame, events[i].status, events[i].note);
  }
  std::ranges::stable_sort(midi, {}, [](const auto& e) { return std::get<0>(e); });
  // The sine tones start at zero: the chord's first frame is where the core
  // says it began.
  StartedNote started[8];
  ASSERT_EQ(drainStarted(reference.get(), started, 8), 4);
  ASSERT_EQ(midi.front(), std::make_tuple(started[0].frame, 0x91, 60));

  for (std::uint32_t period : {16u, 64u, 128u, 1000u, 4096u}) {
    SCOPED_TRACE(period);
    JackRig rig;
    rig.server.period = period;
    rig.engine.setMidiOut(2);
    rig.engine.start();
    rig.server.midiOut.reserve(1000);
    sendScore(rig.engine.core());
    // What midi_in receives in the first period; only its notes are kept.
    rig.server.midiIn = {
        {5, 3, {0x92, 60, 100}}, {9, 1, {0xF8}}, {20, 3, {0x82, 60, 0}}, {30, 3, {0xB0, 7, 100}}};
    ASSERT_TRUE(rig.server.play(kFrames));
    EXPECT_TRUE(std::equal(left.begin(), left.end(), rig.server.left.begin()));
    // midi_out carries the same notes at the same frames, whatever the period.
    std::vector<std::tuple<std::int64_t, int, int>> carried;
    for (const JackMidiEvent& e : rig.server.midiOut) {
      if (e.offset < kFrames) carried.emplace_back(e.offset, e.bytes[0], e.bytes[1]);
    }
    EXPECT_EQ(carried, midi);
    EXPECT_TRUE(std::equal(right.begin(), right.end(), rig.server.right.begin()));
    EXPECT_EQ(rig.engine.started().size(), 4u) << "the tagged notes' notices";
    // midi_in's notes reach the main thread as the receive routine reads them.
    std::uint32_t words[8];
    ASSERT_EQ(rig.backend.receivedMidi(words, 8), 2);
    EXPECT_EQ(std::pair(words[0], words[1]), std::pair(0x20923C64u, 0x20823C00u));
  }
}

// A new server rate makes a new core; a new period restarts the stream
// around the same core; a report of the format the stream runs at (JACK
// sends one on activation) changes nothing.
TEST(JackBackendTest, ARateOrPeriodChangeRebuildsAsADeviceChangeDoes) {
  JackRig rig;
  rig.engine.start();
  RenderCore* first = rig.engine.core();
  rig.server.changeFormat(48000.0, 128);
  rig.mainThread.runPending();
  EXPECT_EQ(rig.server.activations, 1);

  rig.server.changeFormat(44100.0, 128);
  rig.mainThread.runPending();
  EXPECT_EQ(rig.engine.rate(), 44100.0);
  EXPECT_NE(rig.engine.core(), first);

  RenderCore* second = rig.engine.core();
  ASSERT_TRUE(rig.server.play(1280));
  rig.server.changeFormat(44100.0, 64);
  rig.mainThread.runPending();
  ASSERT_TRUE(rig.server.play(64));
  EXPECT_EQ(
      std::tuple(rig.engine.core(), rig.engine.now(), rig.server.activations, rig.server.opens),
      std::tuple(second, 1408, 3, 1))
      << "same core and clock (and the stop's last period), a third activation of the one client";
}

// A DAW listening on midi_out keeps no hanging note when the stream stops:
// the last period ends every note said to be sounding (a note played twice
// twice) and sends "all notes off" on the channel; with the server gone
// there is no period to wait for.
TEST(JackBackendTest, StoppingEndsEveryNoteOnMidiOutAndAWaitIsNeverForADeadServer) {
  JackRig rig;
  rig.server.midiOut.reserve(100);
  rig.engine.setMidiOut(3);
  rig.engine.start();
  for (std::uint32_t note : {48u, 60u, 72u, 60u})
    rig.engine.noteOn(note, NoTag, 100, 0.2f, 0.0, 2.0);
  ASSERT_TRUE(rig.server.play(1280));
  const std::size_t said = rig.server.midiOut.size();
  ASSERT_EQ(said, 4u);
  rig.engine.stop();
  EXPECT_FALSE(rig.server.active);
  std::vector<std::tuple<int, int, int>> last;  // (offset in the period, status, data 1)
  for (std::size_t i = said; i < rig.server.midiOut.size(); ++i) {
    const JackMidiEvent& e = rig.server.midiOut[i];
    last.emplace_back(e.offset % rig.server.period, e.bytes[0], e.bytes[1]);
  }
  EXPECT_EQ(
      last,
      (std::vector<std::tuple<int, int, int>>{
          {127, 0x82, 48}, {127, 0x82, 60}, {127, 0x82, 60}, {127, 0x82, 72}, {127, 0xB2, 123}}));
  EXPECT_EQ(rig.server.midiOut.back().offset, 11u * 128 - 1)
      << "the last frame of the one period right after the ten played";

  rig.engine.ensureRunning();
  rig.engine.noteOn(64, NoTag, 100, 0.2f, 0.0, 2.0);
  ASSERT_TRUE(rig.server.play(256));
  const int awaits = rig.server.awaits;
  rig.server.kill();
  rig.engine.stop();
  EXPECT_EQ(rig.server.awaits, awaits);
}

// The first start wires the outputs to the speakers; the wiring a user made
// by hand comes back after a restart; with auto-connection off nothing is
// wired; a mono card takes both sides.
TEST(JackBackendTest, OutputsGoToTheSpeakersOrWhereTheUserRoutedThem) {
  using Wiring = FakeJackServer::Wiring;
  JackRig rig;
  rig.engine.start();
  EXPECT_EQ(rig.server.wired, (Wiring{{{"system:playback_1"}, {"system:playback_2"}}}));
  const Wiring byHand{{{"reverb:in_1"}, {"reverb:in_2", "recorder:in"}}};
  rig.server.wired = byHand;
  rig.engine.stop();
  rig.engine.ensureRunning();
  EXPECT_EQ(rig.server.wired, byHand);

  JackRig unwired, mono;
  unwired.backend.setAutoConnect(false);
  unwired.engine.start();
  EXPECT_EQ(unwired.server.wired, Wiring{});
  mono.server.speakers = {"system:playback_1"};
  mono.engine.start();
  EXPECT_EQ(mono.server.wired, (Wiring{{{"system:playback_1"}, {"system:playback_1"}}}));
}

}  // namespace
}  // namespace quimbel

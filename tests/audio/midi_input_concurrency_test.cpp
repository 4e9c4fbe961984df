#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "audio/audio_fixtures.h"
#include "audio/core/midi_chord_map.h"
#include "audio/fake_sequencer.h"
#include "audio/midi_input.h"
#include "audio/on_demand_backend.h"
#include "audio/piano_engine.h"
#include "base/manual_main_thread.h"

namespace quimbel {
namespace {

// The sequencer thread delivers while the main thread runs what it posted
// and delivers what JACK's midi_in received: every note arrives once, each
// source's in the order it was played.
TEST(MidiInputConcurrencyTest, NotesFromTheSequencerThreadArriveInOrder) {
  setMidiEngine(nullptr);
  ManualClock clock;
  ManualMainThread mainThread(clock);
  testing::SequencerState silent;
  MIDIInput input(mainThread, std::make_unique<testing::FakeSequencer>(silent));
  std::vector<int> heard, heardFromJack;
  input.onNote = [&](int note, int velocity, int) {
    (velocity == 50 ? heardFromJack : heard).push_back(note);
  };
  input.onNoteOff = [&](int note) { heard.push_back(-note); };
  input.start();

  constexpr int Notes = 2000;
  std::thread sequencer([&] {
    for (int i = 0; i < Notes; ++i) {
      std::uint32_t note = static_cast<std::uint32_t>(i % 127 + 1);
      std::uint32_t words[] = {0x20900000u | (note << 8) | 100u, 0x20800000u | (note << 8)};
      input.receive(words);
      input.sourcesChanged();
    }
  });
  for (int i = 0; heard.size() < 2 * Notes || i < Notes; ++i) {
    if (i < Notes) {
      const std::uint32_t word = 0x20900000u | (static_cast<std::uint32_t>(i % 127 + 1) << 8) | 50u;
      input.receive(std::span<const std::uint32_t>(&word, 1));
    }
    mainThread.runPending();
  }
  sequencer.join();
  mainThread.runPending();
  std::vector<int> played, playedOnJack;
  for (int i = 0; i < Notes; ++i) {
    played.insert(played.end(), {i % 127 + 1, -(i % 127 + 1)});
    playedOnJack.push_back(i % 127 + 1);
  }
  EXPECT_EQ(heard, played);
  EXPECT_EQ(heardFromJack, playedOnJack);
}

// The device changes rate again and again while a MIDI keyboard plays: the
// MIDI thread's chords land in whichever core it holds, every retired core
// is freed only after the MIDI thread let go of it (ThreadSanitizer and
// AddressSanitizer watch), and no chord is lost in a swap; a MIDI thread
// stalled inside a note keeps its core alive until it lets go.
TEST(MidiInputConcurrencyTest, CoresSwappedUnderAPlayingMidiThreadAreHandedOverNotLost) {
  ManualClock clock;
  ManualMainThread mainThread(clock);
  OnDemandBackend backend;
  // A short tone at note 60: a chord only reports its start from a sample.
  PianoEngine engine(mainThread, backend, [](RenderCore* core, double rate) {
    const std::vector<float> tone = testing::sine(261.63, rate, 0.1);
    freeSample(installSample(core, 60, makeSample(tone.data(), nullptr, int(tone.size()))));
  });
  mapNoteToPad(60, 0);
  const std::int32_t chord[] = {60, 64, 67};
  setPadChord(0, 0, chord, 3);
  setChordFlags(false, false, false);
  engine.start();

  constexpr int Chords = 300;
  std::atomic<int> sent{0};
  std::thread keyboard([&] {
    for (int i = 0; i < Chords; ++i) {
      midiNoteOn(60, 100);
      sent.fetch_add(1, std::memory_order_release);
    }
  });
  int heard = 0;
  auto listen = [&] {
    backend.pull(64);
    // A period may start more chords than one drain hands out.
    for (auto notes = engine.started(); !notes.empty(); notes = engine.started())
      for (const StartedNote& note : notes) heard += note.tag == -1 ? 1 : 0;
  };
  for (int swap = 0; sent.load(std::memory_order_acquire) < Chords; ++swap) {
    backend.setDeviceRate(swap % 2 == 0 ? 44100 : 48000);
    backend.endStream();
    mainThread.runPending();
    mainThread.advance(2100.0);
    listen();
  }
  keyboard.join();
  for (int i = 0; i < 4; ++i) {
    mainThread.advance(2100.0);
    listen();
  }
  EXPECT_EQ(engine.retiredCoreCount(), 0);
  EXPECT_EQ(heard, Chords);

  // A MIDI thread stalled inside a note keeps its core past the usual delay.
  {
    const MidiEngineLease stalled;
    backend.setDeviceRate(96000);
    backend.endStream();
    mainThread.runPending();
    mainThread.advance(5000.0);
    EXPECT_EQ(engine.retiredCoreCount(), 1);
    EXPECT_FALSE(midiEngineLetGo(stalled.core()));
  }
  mainThread.advance(60.0);
  EXPECT_EQ(engine.retiredCoreCount(), 0) << "freed once let go";
  setMidiEngine(nullptr);
}

}  // namespace
}  // namespace quimbel

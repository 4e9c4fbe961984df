#include "audio/midi_input.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <tuple>
#include <vector>

#include "audio/core/midi_chord_map.h"
#include "audio/fake_sequencer.h"
#include "base/manual_main_thread.h"
#include "diagnostics/report.h"

namespace quimbel {
namespace {

using Words = std::vector<std::uint32_t>;
using Notes = std::vector<std::tuple<int, int, int>>;  // note, velocity, pad

constexpr std::uint32_t noteOn(std::uint32_t channel, std::uint32_t note, std::uint32_t velocity) {
  return 0x20000000u | ((0x90u | channel) << 16) | (note << 8) | velocity;
}

class MidiInputTest : public ::testing::Test {
 protected:
  MidiInputTest() : mainThread(clock) {
    // The white keys of every octave play pads 0 ... 6, as the pad model sets up.
    const std::uint32_t padOfPitchClass[12] = {0, 99, 1, 99, 2, 3, 99, 4, 99, 5, 99, 6};
    for (std::uint32_t note = 0; note < 128; ++note) mapNoteToPad(note, padOfPitchClass[note % 12]);
    setMidiEngine(nullptr);
    input = std::make_unique<MIDIInput>(mainThread,
                                        std::make_unique<testing::FakeSequencer>(shared), &clock);
    input->onNote = [this](int n, int velocity, int pad) { notes.emplace_back(n, velocity, pad); };
    input->onNoteOff = [this](int note) { noteOffs.push_back(note); };
    input->onSources = [this](int count) { sourceCounts.push_back(count); };
  }

  ManualClock clock;
  ManualMainThread mainThread;
  testing::SequencerState shared;
  std::unique_ptr<MIDIInput> input;
  Notes notes;
  std::vector<int> noteOffs, sourceCounts;
};

TEST_F(MidiInputTest, NotesReachTheMainThreadWithTheirPadAndWorkForAGoneInputDoesNothing) {
  input->start();
  input->receive(Words{noteOn(0, 60, 100)});
  EXPECT_TRUE(notes.empty()) << "the callback belongs to the main thread";
  // Three notes; a note-off and a note-on of velocity 0, which is one too; system real-time,
  // system exclusive, a MIDI 2.0 note-on and its velocity word, control change, no-op and
  // pressure on group 1: none of them a note.
  input->receive(Words{noteOn(3, 72, 90), noteOn(15, 61, 1), noteOn(0, 71, 127), 0x20806440u,
                       noteOn(9, 67, 0), 0x10F80000u, 0x30016000u, 0x40903C00u, 0xFFFF0000u,
                       0x20B00740u, 0x00000000u, 0x21A03C40u});
  mainThread.runPending();
  EXPECT_EQ(notes, (Notes{{60, 100, 0}, {72, 90, 0}, {61, 1, -1}, {71, 127, 6}}));
  EXPECT_EQ(noteOffs, (std::vector<int>{100, 67}));

  // Work still queued when the input goes does nothing.
  input->receive(Words{noteOn(0, 60, 100)});
  input->sourcesChanged();
  input.reset();
  mainThread.runPending();
  EXPECT_EQ(notes.size(), 4u);
  EXPECT_EQ(sourceCounts.size(), 1u);
}

TEST_F(MidiInputTest, RefreshConnectsNewSourcesAndKeepsTheFirst) {
  input->start();
  shared.sources = {0x1400};
  input->refreshSources();
  shared.sources = {0x1400, 0, 0x1800};
  shared.handlers.setupChanged();  // from the receive thread
  mainThread.runPending();
  EXPECT_EQ(shared.connects, (Words{0x1400, 0x1800}));
  shared.sources = {0x1800};  // an unplugged keyboard drops out (letting go of it does no harm)
  input->refreshSources();
  EXPECT_EQ(sourceCounts, (std::vector<int>{0, 1, 2, 1}));
  EXPECT_EQ(shared.connects.size(), 2u);
  // A port our output now feeds is no longer offered: its echo is let go.
  shared.sources = {};
  input->refreshSources();
  EXPECT_EQ(shared.disconnects, (Words{0x1400, 0x1800}));
}

TEST_F(MidiInputTest, ANoteTheProgramJustSentComingBackIsDropped) {
  input->start();
  input->send(0x93, 60, 100);  // channel 4
  clock.set(clock.nowMs() + 4.0);
  input->receive(Words{noteOn(3, 60, 100), noteOn(3, 64, 100), noteOn(2, 60, 100)});
  clock.set(clock.nowMs() + 2.0);
  input->receive(Words{noteOn(3, 60, 100)});
  mainThread.runPending();
  // Back within 5 ms on the same channel: dropped; another note, another
  // channel, or later: played.
  EXPECT_EQ(notes, (Notes{{64, 100, 2}, {60, 100, 0}, {60, 100, 0}}));
  EXPECT_EQ(input->echoesDropped(), 1);
}

TEST_F(MidiInputTest, WithoutAClientTheProgramRunsOnWithoutMidi) {
  diagnostics::LogCapture log;
  shared.openStatus = -ENOENT;  // no /dev/snd/seq
  input->start();
  input->refreshSources();
  EXPECT_TRUE(sourceCounts.empty() && shared.connects.empty());
  EXPECT_TRUE(log.contains("[audio] MIDI keyboards are off: no ALSA sequencer (/dev/snd/seq)"));
}

}  // namespace
}  // namespace quimbel

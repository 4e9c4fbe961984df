#include "app/midi_input.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "audio/core/midi_chord_map.h"
#include "audio/manual_main_thread.h"

namespace quimbel {
namespace {

// Stands in for the sequencer: the test decides the sources, sees the
// connections and delivers packets as the receive thread would.
class FakeSequencer final : public MidiSequencer {
 public:
  struct Shared {
    int openStatus = 0;
    std::vector<std::uint32_t> sources;
    std::vector<std::uint32_t> connects;
    Handlers handlers;
  };

  explicit FakeSequencer(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
  int open(Handlers handlers) override {
    if (shared_->openStatus == 0) shared_->handlers = std::move(handlers);
    return shared_->openStatus;
  }
  std::vector<std::uint32_t> sources() override { return shared_->sources; }
  void connect(std::uint32_t source) override { shared_->connects.push_back(source); }

 private:
  std::shared_ptr<Shared> shared_;
};

constexpr std::uint32_t noteOnWord(std::uint32_t channel, std::uint32_t note,
                                   std::uint32_t velocity) {
  return 0x20000000u | ((0x90u | channel) << 16) | (note << 8) | velocity;
}
constexpr std::uint32_t noteOffWord(std::uint32_t channel, std::uint32_t note) {
  return 0x20000000u | ((0x80u | channel) << 16) | (note << 8) | 0x40u;
}

class MidiInputTest : public ::testing::Test {
 protected:
  MidiInputTest() : mainThread(clock) {
    // The white keys of every octave play pads 0 ... 6, as the pad model sets up.
    const int padOfPitchClass[12] = {0, -1, 1, -1, 2, 3, -1, 4, -1, 5, -1, 6};
    for (std::uint32_t note = 0; note < 128; ++note) {
      int pad = padOfPitchClass[note % 12];
      mapNoteToPad(note, pad < 0 ? 99u : static_cast<std::uint32_t>(pad));
    }
    setMidiEngine(nullptr);
    input = std::make_unique<MIDIInput>(mainThread, std::make_unique<FakeSequencer>(shared));
    input->onNote = [this](int note, int velocity, int pad) {
      notes.emplace_back(note, velocity, pad);
    };
    input->onNoteOff = [this](int note) { noteOffs.push_back(note); };
    input->onSources = [this](int count) { sourceCounts.push_back(count); };
  }

  void deliver(std::vector<std::uint32_t> words) {
    input->receive(words);
    mainThread.runPending();
  }

  ManualClock clock;
  ManualMainThread mainThread;
  std::shared_ptr<FakeSequencer::Shared> shared = std::make_shared<FakeSequencer::Shared>();
  std::unique_ptr<MIDIInput> input;
  std::vector<std::tuple<int, int, int>> notes;
  std::vector<int> noteOffs;
  std::vector<int> sourceCounts;
};

TEST_F(MidiInputTest, NoteOnsReachTheMainThreadWithTheirPad) {
  input->start();
  input->receive(std::vector<std::uint32_t>{noteOnWord(0, 60, 100)});
  EXPECT_TRUE(notes.empty()) << "the callback belongs to the main thread";

  mainThread.runPending();
  deliver({noteOnWord(3, 72, 90), noteOnWord(15, 61, 1), noteOnWord(0, 71, 127)});
  const std::vector<std::tuple<int, int, int>> expected = {
      {60, 100, 0}, {72, 90, 0}, {61, 1, -1}, {71, 127, 6}};
  EXPECT_EQ(notes, expected);
  EXPECT_TRUE(noteOffs.empty());
}

TEST_F(MidiInputTest, NoteOffsIncludeNoteOnsOfVelocityZero) {
  input->start();
  deliver({noteOffWord(0, 64), noteOnWord(9, 67, 0), noteOnWord(0, 67, 1)});
  EXPECT_EQ(noteOffs, (std::vector<int>{64, 67}));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(std::get<0>(notes[0]), 67);
}

TEST_F(MidiInputTest, OnlyMidiOneChannelVoiceNotesCount) {
  input->start();
  const std::uint32_t ignored[] = {
      0x10F80000u,  // system real-time clock
      0x30016000u,  // a system-exclusive fragment
      0x40903C00u,  // a MIDI 2.0 note-on (first word of two)
      0xFFFF0000u,  // velocity field of that MIDI 2.0 note
      0x20B00740u,  // MIDI 1.0 control change
      0x20E04000u,  // MIDI 1.0 pitch bend
      0x00000000u,  // utility no-op
      0x21A03C40u,  // polyphonic pressure on group 1
  };
  deliver(std::vector<std::uint32_t>(std::begin(ignored), std::end(ignored)));
  EXPECT_TRUE(notes.empty());
  EXPECT_TRUE(noteOffs.empty());
}

TEST_F(MidiInputTest, RefreshConnectsNewSourcesAndKeepsTheFirst) {
  input->start();
  EXPECT_EQ(sourceCounts, (std::vector<int>{0}));

  shared->sources = {0x1400};
  shared->handlers.setupChanged();
  mainThread.runPending();
  shared->sources = {0x1400, 0, 0x1800};
  shared->handlers.setupChanged();
  mainThread.runPending();

  EXPECT_EQ(sourceCounts, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(shared->connects, (std::vector<std::uint32_t>{0x1400, 0x1800}));
  EXPECT_EQ(input->connected(), (std::set<std::uint32_t>{0x1400, 0x1800}));

  // An unplugged keyboard simply drops out of the set.
  shared->sources = {0x1800};
  input->refreshSources();
  EXPECT_EQ(sourceCounts.back(), 1);
  EXPECT_EQ(shared->connects.size(), 2u);
}

TEST_F(MidiInputTest, WorkPostedForAGoneInputDoesNothing) {
  input->start();
  shared->sources = {0x1400};
  input->receive(std::vector<std::uint32_t>{noteOnWord(0, 60, 100)});
  input->sourcesChanged();
  input.reset();
  mainThread.runPending();
  EXPECT_TRUE(notes.empty());
  EXPECT_EQ(sourceCounts.size(), 1u);
}

TEST_F(MidiInputTest, WithoutAClientTheProgramRunsOnWithoutMidi) {
  shared->openStatus = -2;
  ::testing::internal::CaptureStderr();
  input->start();
  std::string console = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(console.find("Quimbel: MIDI client failed (-2)"), std::string::npos) << console;
  input->refreshSources();
  EXPECT_TRUE(sourceCounts.empty());
  EXPECT_TRUE(shared->connects.empty());
}

TEST(AlsaSequencerTest, OpensOrSaysWhyNot) {
  ManualClock clock;
  ManualMainThread mainThread(clock);
  MIDIInput input(mainThread);
  std::vector<int> counts;
  input.onSources = [&](int count) { counts.push_back(count); };
  ::testing::internal::CaptureStderr();
  input.start();
  std::string console = ::testing::internal::GetCapturedStderr();
  if (std::filesystem::exists("/dev/snd/seq")) {
    EXPECT_EQ(counts.size(), 1u) << console;
  } else {
    EXPECT_EQ(console, "Quimbel: MIDI client failed (-2)\n");
    EXPECT_TRUE(counts.empty());
  }
}

}  // namespace
}  // namespace quimbel

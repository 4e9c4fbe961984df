#include "audio/midi_input.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <tuple>
#include <vector>

#include "audio/core/midi_chord_map.h"
#include "diagnostics/manual_main_thread.h"

namespace quimbel {
namespace {

using Words = std::vector<std::uint32_t>;

// Stands in for the sequencer: the test decides the sources, sees the
// connections and delivers packets as the receive thread would.
class FakeSequencer final : public MidiSequencer {
 public:
  struct Shared {
    int openStatus = 0;
    std::vector<std::uint32_t> sources, connects;
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

constexpr std::uint32_t noteOn(std::uint32_t channel, std::uint32_t note, std::uint32_t velocity) {
  return 0x20000000u | ((0x90u | channel) << 16) | (note << 8) | velocity;
}

class MidiInputTest : public ::testing::Test {
 protected:
  MidiInputTest() : mainThread(clock) {
    // The white keys of every octave play pads 0 ... 6, as the pad model sets up.
    const int padOfPitchClass[12] = {0, -1, 1, -1, 2, 3, -1, 4, -1, 5, -1, 6};
    for (std::uint32_t note = 0; note < 128; ++note) {
      const int pad = padOfPitchClass[note % 12];
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

  ManualClock clock;
  ManualMainThread mainThread;
  std::shared_ptr<FakeSequencer::Shared> shared = std::make_shared<FakeSequencer::Shared>();
  std::unique_ptr<MIDIInput> input;
  std::vector<std::tuple<int, int, int>> notes;
  std::vector<int> noteOffs, sourceCounts;
};

TEST_F(MidiInputTest, NotesReachTheMainThreadWithTheirPadAndOnlyMidiOneNotesCount) {
  input->start();
  input->receive(Words{noteOn(0, 60, 100)});
  EXPECT_TRUE(notes.empty()) << "the callback belongs to the main thread";
  input->receive(Words{
      noteOn(3, 72, 90), noteOn(15, 61, 1), noteOn(0, 71, 127),
      0x20806440u,                            // note-off
      noteOn(9, 67, 0),                       // a note-on of velocity 0 is a note-off
      0x10F80000u, 0x30016000u,               // system real-time, system exclusive
      0x40903C00u, 0xFFFF0000u,               // a MIDI 2.0 note-on and its velocity word
      0x20B00740u, 0x00000000u, 0x21A03C40u,  // control change, no-op, pressure on group 1
  });
  mainThread.runPending();
  const std::vector<std::tuple<int, int, int>> expected = {
      {60, 100, 0}, {72, 90, 0}, {61, 1, -1}, {71, 127, 6}};
  EXPECT_EQ(notes, expected);
  EXPECT_EQ(noteOffs, (std::vector<int>{100, 67}));
}

TEST_F(MidiInputTest, RefreshConnectsNewSourcesAndKeepsTheFirst) {
  input->start();
  shared->sources = {0x1400};
  shared->handlers.setupChanged();
  mainThread.runPending();
  shared->sources = {0x1400, 0, 0x1800};
  shared->handlers.setupChanged();
  mainThread.runPending();
  EXPECT_EQ(sourceCounts, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(shared->connects, (Words{0x1400, 0x1800}));
  EXPECT_EQ(input->connected(), (std::set<std::uint32_t>{0x1400, 0x1800}));
  shared->sources = {0x1800};  // an unplugged keyboard simply drops out
  input->refreshSources();
  EXPECT_EQ(sourceCounts.back(), 1);
  EXPECT_EQ(shared->connects.size(), 2u);
}

TEST_F(MidiInputTest, WorkPostedForAGoneInputDoesNothing) {
  input->start();
  input->receive(Words{noteOn(0, 60, 100)});
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
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Quimbel: MIDI client failed (-2)\n");
  input->refreshSources();
  EXPECT_TRUE(sourceCounts.empty() && shared->connects.empty());
  // The real sequencer opens, or says why not where there is none (as in CI).
  MIDIInput alsa(mainThread);
  alsa.onSources = [this](int count) { sourceCounts.push_back(count); };
  ::testing::internal::CaptureStderr();
  alsa.start();
  const std::string console = ::testing::internal::GetCapturedStderr();
  if (std::filesystem::exists("/dev/snd/seq")) {
    EXPECT_EQ(sourceCounts.size(), 1u) << console;
  } else {
    EXPECT_EQ(console, "Quimbel: MIDI client failed (-2)\n");
  }
}

}  // namespace
}  // namespace quimbel

#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "audio/core/midi_chord_map.h"
#include "audio/midi_input.h"
#include "base/manual_main_thread.h"

namespace quimbel {
namespace {

class SilentSequencer final : public MidiSequencer {
 public:
  int open(Handlers) override { return 0; }
  std::vector<std::uint32_t> sources() override { return {}; }
  void connect(std::uint32_t) override {}
};

// The sequencer thread delivers while the main thread runs what it posted:
// every note arrives once, in the order it was played.
TEST(MidiInputConcurrencyTest, NotesFromTheSequencerThreadArriveInOrder) {
  setMidiEngine(nullptr);
  ManualClock clock;
  ManualMainThread mainThread(clock);
  MIDIInput input(mainThread, std::make_unique<SilentSequencer>());
  std::vector<int> heard;
  input.onNote = [&](int note, int, int) { heard.push_back(note); };
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
  while (heard.size() < 2 * Notes) mainThread.runPending();
  sequencer.join();
  mainThread.runPending();
  std::vector<int> played;
  for (int i = 0; i < Notes; ++i) played.insert(played.end(), {i % 127 + 1, -(i % 127 + 1)});
  EXPECT_EQ(heard, played);
}

}  // namespace
}  // namespace quimbel

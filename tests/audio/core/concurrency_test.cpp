#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "audio/core/core_fixture.h"
#include "audio/core/midi_chord_map.h"
#include "audio/core/spsc_ring.h"

namespace quimbel {
namespace {

struct Message {
  std::uint64_t sequence;
  std::uint64_t check;
};

// One producer, one consumer hammering a small ring, taking by turns with
// drain and popUpTo: every message pushed arrives once and in order; a full
// ring refuses rather than waits.
TEST(SpscRingConcurrencyTest, NothingLostOrReorderedAndAFullRingRefuses) {
  constexpr std::uint64_t total = 200000;
  auto ring = std::make_unique<SpscRing<Message, 64>>();
  for (std::uint64_t i = 0; i < 64; ++i) ASSERT_TRUE(ring->push(Message{i, ~i}));
  EXPECT_FALSE(ring->push(Message{64, ~64ull}));
  std::thread producer([&] {
    for (std::uint64_t i = 64; i < total;) {
      if (ring->push(Message{i, ~i})) ++i;
    }
  });
  std::uint64_t expected = 0;
  bool ordered = true;
  const auto take = [&](const Message& m) {
    ordered = ordered && m.sequence == expected && m.check == ~expected;
    ++expected;
  };
  Message batch[7];
  for (int round = 0; expected < total; ++round) {
    if (round % 2 == 0) {
      ring->drain(take);
    } else {
      const std::size_t n = ring->popUpTo(batch, 7);
      for (std::size_t k = 0; k < n; ++k) take(batch[k]);
    }
  }
  producer.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(expected, total);
}

// The core's three rings at once: the main thread and a MIDI thread feed
// commands while an audio thread renders; every notice comes back in order.
TEST(RenderCoreConcurrencyTest, CommandsAndNoticesCrossThreadsIntact) {
  testing::CorePtr core(createCore(48000.0));
  freeSample(installSample(core.get(), 60, testing::constantSample(0.1f, 64)));
  const std::int32_t triad[] = {60, 64, 67};
  for (std::uint32_t pad = 0; pad < 7; ++pad) {
    setPadChord(pad, 0, triad, 3);
    mapNoteToPad(pad, pad);
  }
  setChordFlags(false, false, false);
  setMidiEngine(core.get());
  setMidiOut(core.get(), true, 1);

  std::atomic<bool> stop{false};
  std::thread audio([&] {
    float l[128], r[128];
    while (!stop.load()) render(core.get(), l, r, 128);
  });
  std::thread midi([&] {
    for (int i = 0; i < 3000; ++i) midiNoteOn(static_cast<std::uint32_t>(i % 7), 100);
  });
  std::vector<StartedNote> seen;
  StartedNote batch[256];
  // The notes as MIDI leave through their own queue to the main thread.
  CoreMidiEvent midiBatch[256];
  int strayMidi = 0;
  const auto drain = [&] {
    const int n = drainStarted(core.get(), batch, 256);
    seen.insert(seen.end(), batch, batch + n);
    const int m = drainMidiOut(core.get(), midiBatch, 256);
    for (int k = 0; k < m; ++k) {
      const bool known =
          midiBatch[k].note == 60 || midiBatch[k].note == 64 || midiBatch[k].note == 67;
      strayMidi += known && (midiBatch[k].status == 0x90 || midiBatch[k].status == 0x80) ? 0 : 1;
    }
    return n + m;
  };
  for (int i = 0; i < 20000; ++i) {
    noteOn(core.get(), 60, i, 1, 1.0f, 0.0, 0.001);
    if (i % 16 == 0) setVolume(core.get(), (i % 100) / 100.0f);
    if (i % 1000 == 0) setMidiOut(core.get(), i % 2000 == 0, 1);
    drain();
  }
  midi.join();
  stop.store(true);
  audio.join();
  testing::renderFrames(core.get(), 256);  // takes what is still queued
  setMidiEngine(nullptr);
  while (drain() > 0) {
  }

  std::int32_t lastTag = -1;
  std::int64_t lastFrame = 0;
  bool ordered = true;
  int mainNotices = 0;
  for (const StartedNote& s : seen) {
    // MIDI chords carry minus their pad plus one, the main thread's notes
    // their rising tags.
    ordered = ordered && s.frame >= lastFrame && s.tag >= -7 && (s.tag < 0 || s.tag > lastTag);
    lastFrame = s.frame;
    if (s.tag >= 0) {
      lastTag = s.tag;
      ++mainNotices;
    }
  }
  EXPECT_TRUE(ordered);
  EXPECT_GT(mainNotices, 0);
  EXPECT_EQ(strayMidi, 0);
}

}  // namespace
}  // namespace quimbel

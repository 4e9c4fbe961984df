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

// One producer, one consumer hammering a small ring: every message pushed
// arrives exactly once and in order; a full ring refuses rather than waits.
TEST(SpscRingConcurrencyTest, NothingLostOrReorderedWhileNotFull) {
  constexpr std::uint64_t total = 200000;
  auto ring = std::make_unique<SpscRing<Message, 64>>();
  std::atomic<std::uint64_t> refused{0};
  std::thread producer([&] {
    for (std::uint64_t i = 0; i < total;) {
      if (ring->push(Message{i, i * 2654435761u})) {
        ++i;
      } else {
        refused.fetch_add(1, std::memory_order_relaxed);
        std::this_thread::yield();
      }
    }
  });
  std::uint64_t expected = 0;
  bool ordered = true;
  while (expected < total) {
    ring->drain([&](const Message& m) {
      if (m.sequence != expected || m.check != m.sequence * 2654435761u) ordered = false;
      ++expected;
    });
  }
  producer.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(expected, total);
}

TEST(SpscRingConcurrencyTest, PopUpToTakesInOrder) {
  constexpr std::uint64_t total = 100000;
  auto ring = std::make_unique<SpscRing<Message, 1024>>();
  std::thread producer([&] {
    for (std::uint64_t i = 0; i < total;) {
      if (ring->push(Message{i, ~i})) ++i;
    }
  });
  std::uint64_t expected = 0;
  bool ordered = true;
  Message batch[7];
  while (expected < total) {
    const std::size_t n = ring->popUpTo(batch, 7);
    for (std::size_t k = 0; k < n; ++k) {
      if (batch[k].sequence != expected || batch[k].check != ~expected) ordered = false;
      ++expected;
    }
  }
  producer.join();
  EXPECT_TRUE(ordered);
}

// The core's three rings at once: the main thread and a MIDI thread feed
// commands while an audio thread renders; every tagged note that found room
// comes back as a notice, in order per producer.
TEST(RenderCoreConcurrencyTest, CommandsAndNoticesCrossThreadsIntact) {
  std::unique_ptr<RenderCore, testing::CoreDeleter> core(createCore(48000.0));
  freeSample(installSample(core.get(), 60, testing::constantSample(0.1f, 64)));
  const std::int32_t triad[] = {60, 64, 67};
  for (std::uint32_t pad = 0; pad < 7; ++pad) setPadChord(pad, 0, triad, 3);
  setChordFlags(false, false, false);
  for (std::uint32_t n = 0; n < 7; ++n) mapNoteToPad(n, n);
  setMidiEngine(core.get());

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
  for (int i = 0; i < 20000; ++i) {
    noteOn(core.get(), 60, i, 1, 1.0f, 0.0, 0.001);
    if (i % 16 == 0) setVolume(core.get(), (i % 100) / 100.0f);
    const int n = drainStarted(core.get(), batch, 256);
    seen.insert(seen.end(), batch, batch + n);
  }
  midi.join();
  // Two more render calls after the last command: everything sent is handled.
  const std::int64_t sent = currentFrame(core.get());
  while (currentFrame(core.get()) < sent + 256) {
    const int n = drainStarted(core.get(), batch, 256);
    seen.insert(seen.end(), batch, batch + n);
    std::this_thread::yield();
  }
  stop.store(true);
  audio.join();
  setMidiEngine(nullptr);
  for (int n = 1; n > 0;) {
    n = drainStarted(core.get(), batch, 256);
    seen.insert(seen.end(), batch, batch + n);
  }

  std::int32_t lastTag = -1;
  std::int64_t lastFrame = 0;
  bool ordered = true;
  int mainNotices = 0;
  for (const StartedNote& s : seen) {
    if (s.frame < lastFrame) ordered = false;
    lastFrame = s.frame;
    if (s.tag >= 0) {
      if (s.tag <= lastTag) ordered = false;
      lastTag = s.tag;
      ++mainNotices;
    } else if (s.tag < -7) {
      ordered = false;
    }
  }
  EXPECT_TRUE(ordered);
  EXPECT_GT(mainNotices, 0);
}

}  // namespace
}  // namespace quimbel

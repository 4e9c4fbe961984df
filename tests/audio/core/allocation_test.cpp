// Counts every allocation and free made while render runs: malloc and its
// kin are replaced here, and the default operator new and delete reach them.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "audio/core/core_fixture.h"
#include "audio/core/midi_chord_map.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
[[maybe_unused]] void note() {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

// The sanitizers own the allocator: their builds only run the scenario, the
// count is taken in plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool countsAllocations = false;
#else
constexpr bool countsAllocations = true;
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
void* malloc(std::size_t size) { return note(), __libc_malloc(size); }
void* calloc(std::size_t count, std::size_t size) { return note(), __libc_calloc(count, size); }
void* realloc(void* p, std::size_t size) { return note(), __libc_realloc(p, size); }
void* aligned_alloc(std::size_t align, std::size_t size) {
  return note(), __libc_memalign(align, size);
}
int posix_memalign(void** out, std::size_t align, std::size_t size) {
  note();
  *out = __libc_memalign(align, size);
  return *out == nullptr ? ENOMEM : 0;
}
void free(void* p) {
  if (p != nullptr) note();
  __libc_free(p);
}
}
#endif

namespace quimbel {
namespace {

void renderCounted(RenderCore* core, int blocks) {
  float l[128], r[128];
  for (int b = 0; b < blocks; ++b) {
    counting.store(true);
    render(core, l, r, 128);
    counting.store(false);
  }
}

TEST(AllocationTest, RenderNeverAllocatesOrFrees) {
  // The hooks must see what they are meant to catch (volatile: the pair
  // cannot be elided).
  counting.store(true);
  int* volatile kept = new int(3);
  delete kept;
  counting.store(false);
  ASSERT_EQ(allocations.exchange(0), countsAllocations ? 2 : 0);

  testing::CorePtr core(createCore(48000.0));
  for (int note = 21; note <= 108; note += 3) {
    freeSample(installSample(core.get(), static_cast<std::uint32_t>(note),
                             testing::toneSample(220.0, 24000)));
  }
  for (std::uint32_t n = 0; n < 128; ++n) mapNoteToPad(n, n % 12 < 7 ? n % 12 : 255);
  const std::int32_t chord[] = {60, 64, 67, 71};
  for (std::uint32_t pad = 0; pad < 7; ++pad) {
    for (int variant = 0; variant < 4; ++variant) setPadChord(pad, variant, chord, 3 + variant % 2);
  }
  setMidiEngine(core.get());
  setMetronomeOn(core.get(), 1);
  setBPM(core.get(), 240.0);
  StartedNote notices[CoreQueueCapacity];

  // Count-in and metronome, then more than 64 notes so that voices are
  // stolen, scheduled notes and release-alls, direct MIDI chords, volume
  // glides, and notes ending on their own.
  startMetronome(core.get(), 4, 0.01);
  renderCounted(core.get(), 40);
  for (int i = 0; i < 80; ++i) noteOn(core.get(), 40 + i % 40, i, 100, 0.3f, i * 0.001, 0.2);
  renderCounted(core.get(), 40);
  const std::int64_t now = currentFrame(core.get());
  for (int i = 0; i < 30; ++i)
    scheduleNote(core.get(), 50 + i, now + 100 + i * 333, LoopTagBase + i, 90, 0.2f, 0.3);
  scheduleReleaseAll(core.get(), now + 5000);
  renderCounted(core.get(), 100);
  for (int i = 0; i < 20; ++i) {
    midiNoteOn(static_cast<std::uint32_t>(48 + i), 30 + i * 4);
    renderCounted(core.get(), 3);
  }
  setChordFlags(true, true, false);
  midiNoteOn(60, 100);
  releaseAll(core.get());
  setVolume(core.get(), 0.2f);
  renderCounted(core.get(), 50);
  stopMetronome(core.get());
  clearScheduled(core.get());
  drainStarted(core.get(), notices, CoreQueueCapacity);
  EXPECT_FALSE(reverbIdle(core->reverb));  // busy
  // Long enough for every voice to end and the reverb to fall idle.
  renderCounted(core.get(), 2000);
  EXPECT_EQ(testing::soundingVoices(core.get()) + testing::soundingVoices(core.get(), true), 0);
  EXPECT_TRUE(reverbIdle(core->reverb));  // idle again
  noteOn(core.get(), 60, 1, 100, 0.5f, 0.0, 0.1);
  renderCounted(core.get(), 200);
  setMidiEngine(nullptr);
  setChordFlags(false, false, false);
  EXPECT_EQ(allocations.load(), 0);
}

}  // namespace
}  // namespace quimbel

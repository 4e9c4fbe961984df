// Counts every allocation and free made while render runs. The global
// operator new/delete are replaced here, and so are malloc and friends
// (except under AddressSanitizer, which owns them).

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "audio/core/core_fixture.h"
#include "audio/core/midi_chord_map.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUIMBEL_HOOK_MALLOC 0
#else
#define QUIMBEL_HOOK_MALLOC 1
#endif

// The replacement operators below are built on malloc and free on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void note() {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if QUIMBEL_HOOK_MALLOC
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t size) {
  note();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  note();
  return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) {
  note();
  return __libc_realloc(p, size);
}
void free(void* p) {
  if (p != nullptr) note();
  __libc_free(p);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  note();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  note();
  *out = __libc_memalign(alignment, size);
  return *out == nullptr ? ENOMEM : 0;
}
}
#endif

void* operator new(std::size_t size) {
  note();
#if QUIMBEL_HOOK_MALLOC
  void* p = __libc_malloc(size == 0 ? 1 : size);
#else
  void* p = std::malloc(size == 0 ? 1 : size);
#endif
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  note();
#if QUIMBEL_HOOK_MALLOC
  __libc_free(p);
#else
  std::free(p);
#endif
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace quimbel {
namespace {

struct Counted {
  void renderCounted(RenderCore* core, int blocks) {
    float l[128], r[128];
    for (int b = 0; b < blocks; ++b) {
      counting.store(true);
      render(core, l, r, 128);
      counting.store(false);
    }
  }
};

TEST(AllocationTest, HooksSeeAllocations) {
  counting.store(true);
  void* p = std::malloc(16);
  auto* q = new int(3);
  counting.store(false);
  std::free(p);
  delete q;
  EXPECT_GE(allocations.exchange(0), QUIMBEL_HOOK_MALLOC ? 2 : 1);
}

TEST(AllocationTest, RenderNeverAllocatesOrFrees) {
  std::unique_ptr<RenderCore, testing::CoreDeleter> core(createCore(48000.0));
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
  allocations.store(0);
  Counted counted;
  StartedNote notices[CoreQueueCapacity];

  // Count-in and metronome, then more than 64 notes so that voices are
  // stolen, scheduled notes and release-alls, direct MIDI chords, volume
  // glides, and notes ending on their own.
  startMetronome(core.get(), 4, 0.01);
  counted.renderCounted(core.get(), 40);
  for (int i = 0; i < 80; ++i) noteOn(core.get(), 40 + i % 40, i, 100, 0.3f, i * 0.001, 0.2);
  counted.renderCounted(core.get(), 40);
  const std::int64_t now = currentFrame(core.get());
  for (int i = 0; i < 30; ++i)
    scheduleNote(core.get(), 50 + i, now + 100 + i * 333, LoopTagBase + i, 90, 0.2f, 0.3);
  scheduleReleaseAll(core.get(), now + 5000);
  counted.renderCounted(core.get(), 100);
  for (int i = 0; i < 20; ++i) {
    midiNoteOn(static_cast<std::uint32_t>(48 + i), 30 + i * 4);
    counted.renderCounted(core.get(), 3);
  }
  setChordFlags(true, true, false);
  midiNoteOn(60, 100);
  releaseAll(core.get());
  setVolume(core.get(), 0.2f);
  counted.renderCounted(core.get(), 50);
  stopMetronome(core.get());
  clearScheduled(core.get());
  drainStarted(core.get(), notices, CoreQueueCapacity);
  EXPECT_LT(core->reverb.silentBlocks, core->reverb.partitions + 2);  // busy
  // Long enough for every voice to end and the reverb to fall idle.
  counted.renderCounted(core.get(), 2000);
  EXPECT_EQ(testing::soundingVoices(core.get()) + testing::soundingVoices(core.get(), true), 0);
  EXPECT_EQ(core->reverb.silentBlocks, core->reverb.partitions + 2);  // idle again
  noteOn(core.get(), 60, 1, 100, 0.5f, 0.0, 0.1);
  counted.renderCounted(core.get(), 200);
  setMidiEngine(nullptr);
  setChordFlags(false, false, false);
  EXPECT_EQ(allocations.load(), 0);
}

}  // namespace
}  // namespace quimbel

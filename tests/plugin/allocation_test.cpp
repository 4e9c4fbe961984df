// Counts every allocation and free made while a plugin's run() works: malloc
// and its kin are replaced here, and the plugin's library reaches them too.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "plugin/plugin_fixtures.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
[[maybe_unused]] void note() { allocations += counting ? 1 : 0; }
}  // namespace

// The sanitizers own the allocator: their builds only run the scenario.
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
void* calloc(std::size_t k, std::size_t n) { return note(), __libc_calloc(k, n); }
void* realloc(void* p, std::size_t size) { return note(), __libc_realloc(p, size); }
void* aligned_alloc(std::size_t a, std::size_t n) { return note(), __libc_memalign(a, n); }
int posix_memalign(void** out, std::size_t a, std::size_t n) {
  return note(), *out = __libc_memalign(a, n), *out == nullptr ? ENOMEM : 0;
}
void free(void* p) { return p != nullptr ? note() : void(), __libc_free(p); }
}
#endif

namespace quimbel::testing {
namespace {

// Busy blocks: a chord on every block, most of them strummed past the block,
// black keys, releases, tempo changes and passing messages, so that voices
// are stolen and every path of run() is taken.
long allocationsInRun(const char* uri) {
  Lv2Host host;
  PluginRun run(host, uri, 44100.0);
  EXPECT_TRUE(run.ok());
  for (int block = 0; block < 600; ++block) {
    run.set("strum", block % 3 == 0 ? 0.0f : 1.0f);
    const int key = 48 + block % 36;
    run.feed({tempo(0, 60.0f + float(block % 140)),
              noteOn(3, 61),
              noteOn(5, key, 1 + block % 127),
              noteOn(9, 63),
              {17, {0xE0, 0, 64}, 0},
              noteOff(60, key),
              noteOff(61, 61),
              noteOn(64, key + 2),
              noteOff(100, 63)});
    counting = true;
    run.runBlock(128);
    counting = false;
  }
  return allocations.exchange(0);
}

TEST(PluginAllocationTest, RunNeverAllocatesOrFrees) {
  // The hooks must see what they are meant to catch (volatile: the pair
  // cannot be elided).
  counting = true;
  int* volatile kept = new int(3);
  delete kept;
  counting = false;
  ASSERT_EQ(allocations.exchange(0), countsAllocations ? 2 : 0);

  SinePiano piano;
  EXPECT_EQ(allocationsInRun("https://quimbel.app/lv2/quimbel"), 0);
  EXPECT_EQ(allocationsInRun("https://quimbel.app/lv2/chords"), 0);
}

}  // namespace
}  // namespace quimbel::testing

// Counts every allocation and free made while a plugin's run() works (the
// plugin's library reaches the replaced allocator too).

#include <gtest/gtest.h>

#include "counting_allocator.h"
#include "plugin/plugin_fixtures.h"

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
    run.feed({tempo(0, 60.0f + float(block % 140)), noteOn(3, 61), noteOn(5, key, 1 + block % 127),
              noteOn(9, 63), message(17, {0xE0, 0, 64}), noteOff(60, key), noteOff(61, 61),
              noteOn(64, key + 2), noteOff(100, 63)});
    counting = true;
    run.runBlock(128);
    counting = false;
  }
  return allocations.exchange(0);
}

TEST(PluginAllocationTest, RunNeverAllocatesOrFrees) {
  ASSERT_EQ(countedNewAndDelete(), countsAllocations ? 2 : 0);

  SinePiano piano;
  EXPECT_EQ(allocationsInRun("https://quimbel.app/lv2/quimbel"), 0);
  EXPECT_EQ(allocationsInRun("https://quimbel.app/lv2/chords"), 0);
}

}  // namespace
}  // namespace quimbel::testing

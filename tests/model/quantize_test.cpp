#include "model/quantize.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace quimbel {
namespace {

std::vector<ChordHit> hitsAt(std::initializer_list<double> times) {
  std::vector<ChordHit> hits;
  for (double t : times) {
    hits.emplace_back();
    hits.back().pad = static_cast<int>(hits.size()) - 1;
    hits.back().t = t;
  }
  return hits;
}

// At 120 bpm a bar is 2 s and the grid 0.25 s. A later hit in the same slot
// takes the earlier one's place (1.7 s, 1.65 s's).
TEST(QuantizeTest, FirstHitOnTheDownbeatOthersPulledAndHeldUntilTheNext) {
  const QuantizedTake on = quantizeTake(hitsAt({0.4, 0.9, 1.65, 1.7}), 120, true, 2);
  ASSERT_EQ(on.hits.size(), 3u);
  EXPECT_EQ(on.hits[0].t, 0.0);  // even when late
  EXPECT_NEAR(on.hits[1].t, 0.9 + (1.0 - 0.9) * 0.7, 1e-12);
  EXPECT_EQ(on.hits[2].pad, 3);
  EXPECT_NEAR(on.hits[2].t, 1.7 + (1.75 - 1.7) * 0.7, 1e-12);
  EXPECT_DOUBLE_EQ(*on.hits[0].length, on.hits[1].t);
  EXPECT_DOUBLE_EQ(*on.hits[2].length, 2.0 - on.hits[2].t);  // to the loop's end

  const QuantizedTake off = quantizeTake(hitsAt({1.0, 0.5, 1.0, 0.0}), 120, false, 2);
  std::vector<int> pads;
  for (const ChordHit& hit : off.hits) {
    pads.push_back(hit.pad);
    EXPECT_FALSE(hit.length.has_value());
  }
  EXPECT_EQ(pads, (std::vector{3, 1, 0, 2}));  // equal times keep recording order
}

TEST(QuantizeTest, LengthIsWholeBarsEndingAfterTheLastStart) {
  struct Case {
    const char* rule;
    double lastHit, rawLength, length;
  };
  const Case cases[] = {
      {"a hit on the bar line adds a bar", 2.0, 2.9, 4.0},
      {"a short take is still one bar", 0.1, 0.4, 2.0},
      {"3.0 s rounds half up to two bars", 1.0, 3.0, 4.0},
  };
  for (const Case& c : cases) {
    EXPECT_DOUBLE_EQ(quantizeTake(hitsAt({0.0, c.lastHit}), 120, false, c.rawLength).length,
                     c.length)
        << c.rule;
  }
  // A hit far beyond any recording must not stall; a raw length that is not
  // a number falls back to one bar; a tempo below 1 counts as 1.
  EXPECT_GT(quantizeTake(hitsAt({0.0, 1e12}), 120, false, 2).length, 1e12);
  EXPECT_EQ(quantizeTake(hitsAt({0.0}), 120, true, std::nan("")).length, 2.0);
  EXPECT_EQ(quantizeTake({}, 0, true, 0.0).length, 240.0);
}

}  // namespace
}  // namespace quimbel

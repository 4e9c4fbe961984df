#include "model/quantize.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace quimbel {
namespace {

ChordHit hitAt(int pad, double t) {
  ChordHit hit;
  hit.pad = pad;
  hit.t = t;
  return hit;
}

TEST(QuantizeTest, PullsHitsSeventyPercentTowardsTheEighthNote) {
  // 120 bpm: a bar is 2 s, the grid 0.25 s.
  const QuantizedTake take = quantizeTake(std::vector{hitAt(0, 0.0), hitAt(1, 0.60)}, 120, true, 2);
  ASSERT_EQ(take.hits.size(), 2u);
  EXPECT_NEAR(take.hits[1].t, 0.53, 1e-12);
}

TEST(QuantizeTest, LaterHitInOneSlotWins) {
  const QuantizedTake take =
      quantizeTake(std::vector{hitAt(0, 0.0), hitAt(1, 0.60), hitAt(2, 0.62)}, 120, true, 2);
  ASSERT_EQ(take.hits.size(), 2u);
  EXPECT_EQ(take.hits[1].pad, 2);
  EXPECT_NEAR(take.hits[1].t, 0.62 + (0.5 - 0.62) * 0.7, 1e-12);
}

TEST(QuantizeTest, FirstHitLandsOnTheDownbeatEvenWhenLate) {
  const QuantizedTake take = quantizeTake(std::vector{hitAt(3, 0.4)}, 120, true, 2);
  ASSERT_EQ(take.hits.size(), 1u);
  EXPECT_EQ(take.hits[0].t, 0.0);
}

TEST(QuantizeTest, SortsByTimeKeepingRecordingOrderForTies) {
  const QuantizedTake take = quantizeTake(
      std::vector{hitAt(0, 1.0), hitAt(1, 0.5), hitAt(2, 1.0), hitAt(3, 0.0)}, 120, false, 2);
  std::vector<int> pads;
  for (const ChordHit& hit : take.hits) pads.push_back(hit.pad);
  EXPECT_EQ(pads, (std::vector{3, 1, 0, 2}));
}

TEST(QuantizeTest, LengthIsWholeBarsEndingAfterTheLastStart) {
  struct Case {
    const char* rule;
    double lastHit;
    double rawLength;
    double length;
  };
  const Case cases[] = {
      {"2.9 s rounds to one bar", 1.0, 2.9, 2.0},
      {"a hit on the bar line adds a bar", 2.0, 2.9, 4.0},
      {"a short take is still one bar", 0.1, 0.4, 2.0},
      {"3.0 s rounds half up to two bars", 1.0, 3.0, 4.0},
  };
  for (const Case& c : cases) {
    const QuantizedTake take =
        quantizeTake(std::vector{hitAt(0, 0.0), hitAt(1, c.lastHit)}, 120, false, c.rawLength);
    EXPECT_DOUBLE_EQ(take.length, c.length) << c.rule;
  }
}

TEST(QuantizeTest, QuantizedHitsLastUntilTheNextAndUnquantizedHaveNoLength) {
  const std::vector hits{hitAt(0, 0.0), hitAt(1, 0.5), hitAt(2, 1.25)};
  const QuantizedTake on = quantizeTake(hits, 120, true, 2);
  ASSERT_EQ(on.hits.size(), 3u);
  EXPECT_DOUBLE_EQ(*on.hits[0].length, 0.5);
  EXPECT_DOUBLE_EQ(*on.hits[1].length, 0.75);
  EXPECT_DOUBLE_EQ(*on.hits[2].length, 0.75);  // to the 2 s loop end

  const QuantizedTake off = quantizeTake(hits, 120, false, 2);
  for (const ChordHit& hit : off.hits) EXPECT_FALSE(hit.length.has_value());
  EXPECT_EQ(off.hits[2].t, 1.25);
}

TEST(QuantizeTest, AbsurdInputsStillGiveAWholeBarTake) {
  // A hit far beyond any recording must not stall; a raw length that is not
  // a number falls back to one bar.
  const QuantizedTake far = quantizeTake(std::vector{hitAt(0, 0.0), hitAt(1, 1e12)}, 120, false, 2);
  EXPECT_GT(far.length, 1e12);
  const QuantizedTake nan = quantizeTake(std::vector{hitAt(0, 0.0)}, 120, true, std::nan(""));
  EXPECT_EQ(nan.length, 2.0);
  EXPECT_EQ(quantizeTake({}, 0, true, 0.0).length, 240.0);  // tempo below 1 counts as 1
}

}  // namespace
}  // namespace quimbel

#include "model/published.h"

#include <gtest/gtest.h>

#include <vector>

namespace quimbel {
namespace {

TEST(PublishedTest, EveryAssignmentNotifiesUntilTheSubscriptionEnds) {
  Published<int> value{1};
  std::vector<int> seen;
  {
    Subscription s = value.subscribe([&](const int& v) { seen.push_back(v); });
    value = 1;  // the same value is news too
    value.update([](int& v) { v += 5; });
  }
  value = 2;
  EXPECT_EQ(seen, (std::vector{1, 6}));

  // One observer cancels another while being told: the other is skipped.
  Subscription second;
  Subscription first = value.subscribe([&](const int&) { second.cancel(); });
  second = value.subscribe([&](const int& v) { seen.push_back(v); });
  value = 3;
  EXPECT_EQ(seen.size(), 2u);
}

}  // namespace
}  // namespace quimbel

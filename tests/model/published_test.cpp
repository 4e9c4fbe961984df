#include "model/published.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace quimbel {
namespace {

TEST(PublishedTest, EveryAssignmentNotifiesEvenWithTheSameValue) {
  Published<int> value{1};
  std::vector<int> seen;
  Subscription s = value.subscribe([&](const int& v) { seen.push_back(v); });
  value = 1;
  value = 2;
  value.update([](int& v) { v += 5; });
  EXPECT_EQ(seen, (std::vector{1, 2, 7}));
}

TEST(PublishedTest, DroppedOrCancelledSubscriptionsHearNothing) {
  Published<int> value;
  int heard = 0;
  {
    Subscription s = value.subscribe([&](const int&) { ++heard; });
    value = 1;
  }
  value = 2;
  EXPECT_EQ(heard, 1);
  EXPECT_EQ(value.observerCount(), 0u);

  // One observer cancels another while being told: the other is skipped.
  Subscription second;
  Subscription first = value.subscribe([&](const int&) { second.cancel(); });
  second = value.subscribe([&](const int&) { ++heard; });
  value = 3;
  EXPECT_EQ(heard, 1);
}

}  // namespace
}  // namespace quimbel

#include "support/threads/timeout.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

void ExpectTimespec(const timespec& t, time_t sec, long nsec) {
  EXPECT_EQ(t.tv_sec, sec);
  EXPECT_EQ(t.tv_nsec, nsec);
}

TEST(AbsoluteTimeoutTest, AddsDelayToFixedReading) {
  ExpectTimespec(AbsoluteTimeout(1999, 10, 500), 12, 499000000);
  ExpectTimespec(AbsoluteTimeout(0, 10, 999), 10, 999000000);
  ExpectTimespec(AbsoluteTimeout(250, 10, 0), 10, 250000000);
}

TEST(AbsoluteTimeoutTest, CarriesIntoSeconds) {
  ExpectTimespec(AbsoluteTimeout(500, 10, 500), 11, 0);
  ExpectTimespec(AbsoluteTimeout(1, 10, 999), 11, 0);
  // A reading of a full 1000 ms is carried before the delay is added.
  ExpectTimespec(AbsoluteTimeout(0, 10, 1000), 11, 0);
  ExpectTimespec(AbsoluteTimeout(999, 10, 1000), 11, 999000000);
}

// Negative delays truncate toward zero and then borrow, so the deadline lies
// in the past but is still a timespec a timed wait accepts.
TEST(AbsoluteTimeoutTest, NegativeDelayGivesValidPastDeadline) {
  ExpectTimespec(AbsoluteTimeout(-1, 10, 0), 9, 999000000);
  ExpectTimespec(AbsoluteTimeout(-1000, 10, 0), 9, 0);
  ExpectTimespec(AbsoluteTimeout(-1500, 10, 200), 8, 700000000);
  ExpectTimespec(AbsoluteTimeout(-300, 10, 500), 10, 200000000);
}

TEST(AbsoluteTimeoutTest, ExtremeDelaysDoNotOverflow) {
  ExpectTimespec(AbsoluteTimeout(INT_MAX, 10, 500), 10 + 2147483 + 1, 147000000);
  ExpectTimespec(AbsoluteTimeout(INT_MIN, 10, 500), 10 - 2147483 - 1, 852000000);
}

TEST(AbsoluteTimeoutTest, ReadsWallClockInWholeMilliseconds) {
  timespec before{};
  timespec after{};
  clock_gettime(CLOCK_REALTIME, &before);
  const timespec t = AbsoluteTimeout(1500);
  clock_gettime(CLOCK_REALTIME, &after);

  EXPECT_EQ(t.tv_nsec % 1000000, 0);
  const auto toMillis = [](const timespec& ts) {
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  };
  EXPECT_GE(toMillis(t), toMillis(before) + 1500);
  EXPECT_LE(toMillis(t), toMillis(after) + 1500);
}

}  // namespace

#include "support/threads/timeout.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

TEST(AbsoluteTimeoutTest, AddsCarriesAndBorrowsFromAFixedReading) {
  const struct {
    int delayMs;
    long readMs;  // of the fixed reading at second 10
    time_t sec;
    long nsec;
  } cases[] = {
      {1999, 500, 12, 499000000},
      {0, 999, 10, 999000000},
      {500, 500, 11, 0},
      {1, 999, 11, 0},
      // A reading of a full 1000 ms is carried before the delay is added.
      {0, 1000, 11, 0},
      {999, 1000, 11, 999000000},
      // Negative delays truncate toward zero, then borrow: a past but valid deadline.
      {-1, 0, 9, 999000000},
      {-1000, 0, 9, 0},
      {-1500, 200, 8, 700000000},
      {-300, 500, 10, 200000000},
      {INT_MAX, 500, 10 + 2147483 + 1, 147000000},
      {INT_MIN, 500, 10 - 2147483 - 1, 852000000},
  };
  for (const auto& c : cases) {
    const timespec t = AbsoluteTimeout(c.delayMs, 10, c.readMs);
    EXPECT_EQ(t.tv_sec, c.sec) << c.delayMs << " " << c.readMs;
    EXPECT_EQ(t.tv_nsec, c.nsec) << c.delayMs << " " << c.readMs;
  }
}

TEST(AbsoluteTimeoutTest, ReadsWallClockInWholeMilliseconds) {
  timespec before{}, after{};
  clock_gettime(CLOCK_REALTIME, &before);
  const timespec t = AbsoluteTimeout(1500);
  clock_gettime(CLOCK_REALTIME, &after);
  const auto toMillis = [](const timespec& ts) {
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  };
  EXPECT_EQ(t.tv_nsec % 1000000, 0);
  EXPECT_GE(toMillis(t), toMillis(before) + 1500);
  EXPECT_LE(toMillis(t), toMillis(after) + 1500);
}

}  // namespace

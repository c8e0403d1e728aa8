#include "support/threads/cond.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "support/threads/test_util.h"

namespace {

constexpr int kLongWaitMs = 10000;

TEST(PCondFlagTest, SetResetAndTimedWaitOnOneThread) {
  PCondFlag initiallySet(true);
  EXPECT_TRUE(initiallySet.IsSet());
  EXPECT_LT(ElapsedMillis([&] { initiallySet.WaitSet(); }), 1000);
  EXPECT_TRUE(initiallySet.TimedWaitSet(-5));

  PCondFlag flag;
  bool result = true;
  const long long elapsed = ElapsedMillis([&] { result = flag.TimedWaitSet(250); });
  EXPECT_FALSE(result);
  EXPECT_GE(elapsed, 240);
  EXPECT_LT(elapsed, 2000);
  // A deadline already past times out at once instead of being rejected.
  EXPECT_LT(ElapsedMillis([&] { result = flag.TimedWaitSet(-1500); }), 1000);
  EXPECT_FALSE(result);

  flag.Set();
  flag.Set();  // setting twice leaves it set
  EXPECT_TRUE(flag.IsSet());
  EXPECT_LT(ElapsedMillis([&] { flag.WaitSet(); }), 1000);
  EXPECT_TRUE(flag.TimedWaitSet(0));
  flag.Reset();
  EXPECT_FALSE(flag.IsSet());
  EXPECT_FALSE(flag.TimedWaitSet(20));
}

TEST(PCondFlagTest, SetFromAnotherThreadEndsTimedWait) {
  PCondFlag flag;
  PCondFlag waiting;
  bool result = false;
  long long elapsed = 0;
  {
    TestThread waiter([&] {
      waiting.Set();
      elapsed = ElapsedMillis([&] { result = flag.TimedWaitSet(kLongWaitMs); });
    });
    ASSERT_TRUE(waiting.TimedWaitSet(kLongWaitMs));
    flag.Set();
  }
  EXPECT_TRUE(result);
  EXPECT_LT(elapsed, kLongWaitMs / 2);
}

TEST(PCondFlagTest, SetWakesEveryWaiter) {
  constexpr int kWaiters = 4;
  PCondFlag go;
  PIntCondMutex arrived;
  PIntCondMutex woken;
  std::vector<std::unique_ptr<TestThread>> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.push_back(std::make_unique<TestThread>([&] {
      AddAndBroadcast(arrived, 1);
      go.WaitSet();
      AddAndBroadcast(woken, 1);
    }));
  }
  ASSERT_TRUE(WaitForValue(arrived, kWaiters, kLongWaitMs));
  EXPECT_FALSE(WaitForValue(woken, 1, 20));
  go.Set();
  const bool allWoken = WaitForValue(woken, kWaiters, kLongWaitMs);
  EXPECT_TRUE(allWoken);
  // Release any waiter left behind, so a fault fails the test instead of hanging the joins.
  for (int i = 0; !allWoken && i < kWaiters; ++i) go.Set();
}

// The in-flight pattern: workers hold a count up while busy and the owner
// waits for it to drain to zero.
TEST(PIntCondMutexTest, OwnerWaitsForCountToReachZero) {
  constexpr int kWorkers = 3;
  PIntCondMutex inFlight;
  EXPECT_EQ(inFlight.value, 0);
  PCondFlag release;
  std::vector<std::unique_ptr<TestThread>> workers;
  for (int i = 0; i < kWorkers; ++i) {
    AddAndBroadcast(inFlight, 1);
    workers.push_back(std::make_unique<TestThread>([&] {
      release.WaitSet();
      AddAndBroadcast(inFlight, -1);
    }));
  }
  EXPECT_FALSE(WaitForValue(inFlight, 0, 50));
  {
    PScopedLock lock(&inFlight);
    EXPECT_EQ(inFlight.value, kWorkers);
  }
  release.Set();
  EXPECT_TRUE(WaitForValue(inFlight, 0, kLongWaitMs));
}

}  // namespace

#include "support/threads/mutex.h"

#include <gtest/gtest.h>

#include <list>
#include <memory>
#include <set>
#include <type_traits>
#include <vector>

#include "support/threads/test_util.h"

namespace {

constexpr int kLongWaitMs = 10000;

TEST(PMutexTest, RecursiveMutexNeedsAsManyUnlocksAsLocks) {
  PMutex mutex(true);
  mutex.Lock();
  mutex.Lock();
  mutex.Unlock();
  PCondFlag acquired;
  TestThread other([&] {
    PScopedLock lock(&mutex);
    acquired.Set();
  });
  EXPECT_FALSE(acquired.TimedWaitSet(50));
  mutex.Unlock();
  EXPECT_TRUE(acquired.TimedWaitSet(kLongWaitMs));
}

TEST(PMutexTest, ScopedUnlockDropsAndRetakesTheLock) {
  PMutex mutex;
  PCondFlag firstHeld;
  PCondFlag tryAgain;
  PCondFlag secondHeld;
  mutex.Lock();
  {
    TestThread other([&] {
      {
        PScopedLock lock(&mutex);
        firstHeld.Set();
      }
      tryAgain.WaitSet();
      PScopedLock lock(&mutex);
      secondHeld.Set();
    });
    EXPECT_FALSE(firstHeld.TimedWaitSet(20));
    {
      PScopedUnlock unlock(&mutex);
      EXPECT_TRUE(firstHeld.TimedWaitSet(kLongWaitMs));
    }
    tryAgain.Set();
    EXPECT_FALSE(secondHeld.TimedWaitSet(50));
    mutex.Unlock();
    EXPECT_TRUE(secondHeld.TimedWaitSet(kLongWaitMs));
  }
}

TEST(PLockerTest, ContainerSharedUnderItsOwnLock) {
  using IntSet = PLocker<std::set<int>>;
  static_assert(std::is_base_of_v<std::set<int>, IntSet>);
  static_assert(std::is_base_of_v<PMutex, IntSet>);
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  IntSet set(false);
  {
    std::vector<std::unique_ptr<TestThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.push_back(std::make_unique<TestThread>([&set, t] {
        for (int n = 0; n < kPerThread; ++n) {
          PScopedLock lock(&set);
          set.insert(t * kPerThread + n);
        }
      }));
    }
  }
  PScopedLock lock(&set);
  ASSERT_EQ(set.size(), static_cast<size_t>(kThreads * kPerThread));
  EXPECT_EQ(*set.begin(), 0);
  EXPECT_EQ(*set.rbegin(), kThreads * kPerThread - 1);
}

TEST(PLockerTest, RecursiveLockerAndDeletionThroughMutexBase) {
  PLocker<std::list<int>> list(true);
  {
    PScopedLock outer(&list);
    PScopedLock inner(&list);
    list.push_back(1);
  }
  EXPECT_EQ(list.size(), 1u);

  // PMutex sits after the container, so this deletes through an adjusted
  // pointer; it is only correct because the destructor is virtual.
  std::unique_ptr<PMutex> owned = std::make_unique<PLocker<std::vector<int>>>(false);
  static_cast<PLocker<std::vector<int>>*>(owned.get())->push_back(7);
  owned.reset();
}

}  // namespace

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <memory>

#include "support/threads/cond.h"
#include "support/threads/mutex.h"
#include "support/threads/thread.h"
#include "support/threads/timeout.h"

namespace {

TEST(AbsoluteTimeout, AddsCarriesAndBorrowsFromAFixedReading) {
  const struct {
    int delayMs;
    long readMs;  // of the reading at second 10
    time_t sec;
    long nsec;
  } cases[] = {{1999, 500, 12, 499000000},
               {500, 500, 11, 0},
               {999, 1000, 11, 999000000},
               {-1, 0, 9, 999000000},
               {-1000, 0, 9, 0},
               {-1500, 200, 8, 700000000},
               {INT_MAX, 500, 2147494, 147000000},
               {INT_MIN, 500, -2147474, 852000000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.delayMs << " ms from 10 s " << c.readMs << " ms");
    const timespec t = AbsoluteTimeout(c.delayMs, 10, c.readMs);
    EXPECT_EQ(t.tv_sec, c.sec);
    EXPECT_EQ(t.tv_nsec, c.nsec);
  }
}

struct Worker {
  void* Work(void* arg) {
    go.WaitSet();
    return reinterpret_cast<void*>(reinterpret_cast<intptr_t>(arg) * base);
  }
  intptr_t base = 0;
  PCondFlag go;
};

TEST(PThread, TheThreadOutlivesItsPThread) {
  // The thread runs its own copy of the delegate, so the PThread may go
  // while the thread still waits.
  Worker worker;
  worker.base = 3;
  auto member =
      std::make_unique<PThread>(nullptr, &worker, &Worker::Work, reinterpret_cast<void*>(5));
  const pthread_t handle = member->Handle();
  member.reset();
  worker.go.Set();
  void* result = nullptr;
  ASSERT_EQ(pthread_join(handle, &result), 0);
  EXPECT_EQ(reinterpret_cast<intptr_t>(result), 15);
}

}  // namespace

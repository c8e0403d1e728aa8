#include "support/threads/thread.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <memory>

#include "support/threads/test_util.h"

namespace {

constexpr int kLongWaitMs = 10000;

void* AddOne(void* arg) {
  return reinterpret_cast<void*>(reinterpret_cast<intptr_t>(arg) + 1);
}

struct Worker {
  void* Work(void* arg) {
    go.WaitSet();
    ran = true;
    void* result = reinterpret_cast<void*>(reinterpret_cast<intptr_t>(arg) * base);
    done.Set();  // last touch of *this: a detached run may outlive the owner after it
    return result;
  }

  intptr_t base = 0;
  PCondFlag go;
  PCondFlag done;
  bool ran = false;  // written before done is set
};

TEST(PThreadTest, JoinGivesFunctionAndMemberFunctionResults) {
  PThread plain(nullptr, &AddOne, reinterpret_cast<void*>(41));
  void* result = nullptr;
  ASSERT_EQ(plain.Join(&result), 0);
  EXPECT_EQ(reinterpret_cast<intptr_t>(result), 42);

  Worker worker;
  worker.base = 6;
  worker.go.Set();
  PThread member(nullptr, &worker, &Worker::Work, reinterpret_cast<void*>(7));
  ASSERT_EQ(member.Join(&result), 0);
  EXPECT_EQ(reinterpret_cast<intptr_t>(result), 42);
  EXPECT_TRUE(worker.ran);
}

// The thread runs its own copy of the delegate, so the PThread (and the
// delegate it owns) can go away while the thread is still blocked.
TEST(PThreadTest, DeletingRightAfterConstructionLeavesThreadRunning) {
  Worker worker;
  worker.base = 3;
  auto thread =
      std::make_unique<PThread>(nullptr, &worker, &Worker::Work, reinterpret_cast<void*>(5));
  const pthread_t handle = thread->Handle();
  thread.reset();
  worker.go.Set();
  void* result = nullptr;
  ASSERT_EQ(pthread_join(handle, &result), 0);
  EXPECT_EQ(reinterpret_cast<intptr_t>(result), 15);
  EXPECT_TRUE(worker.ran);
}

// Many short-lived threads deleted at once stress the start handshake.
TEST(PThreadTest, ManyThreadsDeletedImmediatelyAllFinish) {
  constexpr int kThreads = 64;
  PIntCondMutex finished;
  auto count = [](void* arg) -> void* {
    AddAndBroadcast(*static_cast<PIntCondMutex*>(arg), 1);
    return nullptr;
  };
  for (int i = 0; i < kThreads; ++i) {
    auto thread = std::make_unique<PThread>(nullptr, +count, &finished);
    ASSERT_EQ(thread->Detach(), 0);
  }
  EXPECT_TRUE(WaitForValue(finished, kThreads, kLongWaitMs));
}

TEST(PThreadTest, DetachedThreadRunsToCompletion) {
  Worker worker;
  worker.base = 1;
  {
    PThread thread(nullptr, &worker, &Worker::Work, nullptr);
    EXPECT_EQ(thread.Detach(), 0);
  }
  worker.go.Set();
  ASSERT_TRUE(worker.done.TimedWaitSet(kLongWaitMs));
  EXPECT_TRUE(worker.ran);
}

TEST(PThreadTest, CreationFailureThrowsAndRunsNothing) {
  pthread_attr_t attr;
  ASSERT_EQ(pthread_attr_init(&attr), 0);
  // No address space can hold this stack, so pthread_create must fail.
  ASSERT_EQ(pthread_attr_setstacksize(&attr, size_t{1} << 50), 0);
  Worker worker;
  worker.go.Set();
  EXPECT_THROW(PThread(&attr, &worker, &Worker::Work, nullptr), std::exception);
  EXPECT_FALSE(worker.ran);
  pthread_attr_destroy(&attr);
}

}  // namespace

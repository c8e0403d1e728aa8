// Helpers for the threads tests: TestThread runs a callable on its own
// PThread (through a member delegate) and joins it when destroyed, so a
// failing assertion cannot leak a thread; WaitForValue waits with a deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <utility>

#include "support/threads/cond.h"
#include "support/threads/thread.h"
#include "support/threads/timeout.h"

class TestThread {
 public:
  explicit TestThread(std::function<void()> body)
      : body_(std::move(body)), thread_(nullptr, this, &TestThread::Main, nullptr) {}
  ~TestThread() { thread_.Join(nullptr); }

  TestThread(const TestThread&) = delete;
  TestThread& operator=(const TestThread&) = delete;

 private:
  void* Main(void*) {
    body_();
    return nullptr;
  }

  std::function<void()> body_;
  PThread thread_;
};

// Waits until counter.value == want, for at most `milliseconds`.
inline bool WaitForValue(PIntCondMutex& counter, int32_t want, int milliseconds) {
  PScopedLock lock(&counter);
  const timespec deadline = AbsoluteTimeout(milliseconds);
  while (counter.value != want) {
    if (!counter.TimedWait(deadline)) return counter.value == want;
  }
  return true;
}

// Adds `delta` to counter.value under its lock and wakes its waiters.
inline void AddAndBroadcast(PIntCondMutex& counter, int32_t delta) {
  PScopedLock lock(&counter);
  counter.value += delta;
  counter.Broadcast();
}

// Milliseconds spent running `body`, on the monotonic clock.
template <class F>
long long ElapsedMillis(F&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

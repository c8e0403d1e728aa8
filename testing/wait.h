// Waiting in tests: on a condition with a deadline, never on a bare sleep;
// a thread that is joined even when an assertion fails; the time a block took.
#pragma once

#include <chrono>
#include <functional>
#include <thread>
#include <utility>

#include "support/threads/cond.h"
#include "support/threads/thread.h"

namespace kiv::testing {

// Polls `condition` every millisecond until it holds or `timeoutMs` pass;
// for state that offers no event to wait on. Returns the last answer.
template <class Predicate>
bool WaitUntil(Predicate condition, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Milliseconds spent running `body`, on the monotonic clock.
template <class F>
long long ElapsedMillis(F&& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return (std::chrono::steady_clock::now() - start) / std::chrono::milliseconds(1);
}

// Runs a callable on its own PThread and joins it when destroyed, so a
// failing assertion cannot leak a thread.
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

}  // namespace kiv::testing

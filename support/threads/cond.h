// Condition wrappers: PCondMutex (a mutex with its condition variable),
// PIntCondMutex (plus an integer to wait on) and PCondFlag (an event).
// None is copyable; an object may be destroyed only when no thread holds its
// mutex or waits on it. Waits can wake spuriously, so callers loop on their
// predicate; PCondFlag does that itself.
#pragma once

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdint>

#include "support/threads/mutex.h"

// A mutex and a condition variable (default attributes, so deadlines are on
// the wall clock, as AbsoluteTimeout computes them).
class PCondMutex : public PMutex {
 public:
  explicit PCondMutex(bool recursive = false);
  ~PCondMutex() override;

  // The caller holds the mutex (once, if recursive); it is released while
  // waiting and held again on return.
  void Wait();
  // As Wait, until the absolute wall-clock deadline. Returns false when the
  // deadline passed, true on any other wake-up.
  bool TimedWait(const timespec& deadline);
  // Wakes every waiter; the caller normally holds the mutex.
  void Broadcast();

 private:
  pthread_cond_t cond_;
};

// A PCondMutex (never recursive) carrying an integer, 0 at construction, that
// users read and change under the lock, e.g. a count of calls in progress.
class PIntCondMutex : public PCondMutex {
 public:
  PIntCondMutex() : PCondMutex(false) {}
  ~PIntCondMutex() override = default;

  int32_t value = 0;
};

// A resettable event: Set wakes every waiter and the flag stays set until
// Reset. Safe to use from any thread.
class PCondFlag {
 public:
  explicit PCondFlag(bool initial = false) : flag_(initial) {}

  void Set();
  void Reset();
  // Returns once the flag is set (at once if it already is).
  void WaitSet();
  // Waits at most `milliseconds` for the flag; true if it is set, false on
  // time-out (the flag is left as it is). 0 or less only tests the flag.
  bool TimedWaitSet(int milliseconds);
  // Reads the flag without taking the lock, e.g. as a loop's stop test.
  bool IsSet() const { return flag_.load(std::memory_order_acquire); }

 private:
  PCondMutex cond_;
  // Written under cond_'s lock, read without it by IsSet.
  std::atomic<bool> flag_;
};

#include "support/threads/cond.h"

#include <cerrno>

#include "support/threads/check.h"
#include "support/threads/timeout.h"

PCondMutex::PCondMutex(bool recursive) : PMutex(recursive) {
  KIV_PTHREAD_CHECK(pthread_cond_init(&cond_, nullptr));
}

PCondMutex::~PCondMutex() {
  KIV_PTHREAD_CHECK(pthread_cond_destroy(&cond_));
}

void PCondMutex::Wait() {
  KIV_PTHREAD_CHECK(pthread_cond_wait(&cond_, &mutex_));
}

bool PCondMutex::TimedWait(const timespec& deadline) {
  int rc = pthread_cond_timedwait(&cond_, &mutex_, &deadline);
  // AbsoluteTimeout always yields a valid timespec, so EINVAL means misuse.
  assert(rc == 0 || rc == ETIMEDOUT);
  return rc != ETIMEDOUT;
}

void PCondMutex::Broadcast() {
  KIV_PTHREAD_CHECK(pthread_cond_broadcast(&cond_));
}

void PCondFlag::Set() {
  PScopedLock lock(&cond_);
  flag_.store(true, std::memory_order_release);
  cond_.Broadcast();
}

void PCondFlag::Reset() {
  PScopedLock lock(&cond_);
  flag_.store(false, std::memory_order_release);
}

void PCondFlag::WaitSet() {
  PScopedLock lock(&cond_);
  while (!flag_.load(std::memory_order_relaxed)) cond_.Wait();
}

bool PCondFlag::TimedWaitSet(int milliseconds) {
  PScopedLock lock(&cond_);
  const timespec deadline = AbsoluteTimeout(milliseconds);
  while (!flag_.load(std::memory_order_relaxed)) {
    if (!cond_.TimedWait(deadline)) return false;
  }
  return true;
}

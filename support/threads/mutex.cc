#include "support/threads/mutex.h"

#include "support/threads/check.h"

PMutex::PMutex(bool recursive) {
  if (recursive) {
    pthread_mutexattr_t attr;
    KIV_PTHREAD_CHECK(pthread_mutexattr_init(&attr));
    KIV_PTHREAD_CHECK(pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE));
    KIV_PTHREAD_CHECK(pthread_mutex_init(&mutex_, &attr));
    KIV_PTHREAD_CHECK(pthread_mutexattr_destroy(&attr));
  } else {
    KIV_PTHREAD_CHECK(pthread_mutex_init(&mutex_, nullptr));
  }
}

// Fails (EBUSY) when the mutex is still held: the owner broke its contract.
PMutex::~PMutex() {
  KIV_PTHREAD_CHECK(pthread_mutex_destroy(&mutex_));
}

void PMutex::Lock() {
  KIV_PTHREAD_CHECK(pthread_mutex_lock(&mutex_));
}

void PMutex::Unlock() {
  KIV_PTHREAD_CHECK(pthread_mutex_unlock(&mutex_));
}

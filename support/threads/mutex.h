// Mutex wrappers over POSIX threads: PMutex, the scoped guards and PLocker.
// Objects own their mutex and are not copyable; a mutex must be unlocked and
// unwaited when its owner is destroyed. Call results are asserted in debug
// builds only; release builds report no failure, as the callers expect none.
#pragma once

#include <pthread.h>

// A POSIX mutex, plain or recursive. A plain mutex relocked by its holder
// deadlocks; only sections that re-enter themselves ask for a recursive one.
class PMutex {
 public:
  explicit PMutex(bool recursive = false);
  virtual ~PMutex();

  PMutex(const PMutex&) = delete;
  PMutex& operator=(const PMutex&) = delete;

  void Lock();
  void Unlock();

 protected:
  // The condition variable of PCondMutex waits with this mutex.
  pthread_mutex_t mutex_;
};

// Holds *mutex for the guard's scope. The mutex must outlive the guard.
class PScopedLock {
 public:
  explicit PScopedLock(PMutex* mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~PScopedLock() { mutex_->Unlock(); }

  PScopedLock(const PScopedLock&) = delete;
  PScopedLock& operator=(const PScopedLock&) = delete;

 private:
  PMutex* mutex_;
};

// Drops a mutex the caller holds for the guard's scope (around a blocking
// call) and takes it again on leaving it.
class PScopedUnlock {
 public:
  explicit PScopedUnlock(PMutex* mutex) : mutex_(mutex) { mutex_->Unlock(); }
  ~PScopedUnlock() { mutex_->Lock(); }

  PScopedUnlock(const PScopedUnlock&) = delete;
  PScopedUnlock& operator=(const PScopedUnlock&) = delete;

 private:
  PMutex* mutex_;
};

// A container that is its own lock: take PScopedLock on it (it converts to
// PMutex*), then use the container. The container part is not thread-safe on
// its own; every access must happen under the lock.
template <class T>
class PLocker : public T, public PMutex {
 public:
  explicit PLocker(bool recursive = false) : T(), PMutex(recursive) {}
  ~PLocker() override = default;
};

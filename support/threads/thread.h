// PThread starts a POSIX thread on a member function or a free function
// through a delegate. The new thread runs its own copy of the delegate, so
// the PThread may be deleted as soon as its constructor returns; the object
// a member delegate points to must outlive the thread. The owner joins or
// detaches the thread: the destructor does neither.
#pragma once

#include <pthread.h>

#include <memory>

#include "support/threads/cond.h"

// What a thread runs. Clone returns a new, caller-owned copy.
class PThreadDelegateGeneric {
 public:
  PThreadDelegateGeneric() = default;
  virtual ~PThreadDelegateGeneric() = default;

  virtual void* Run(void* arg) = 0;
  virtual PThreadDelegateGeneric* Clone() const = 0;

 protected:
  PThreadDelegateGeneric(const PThreadDelegateGeneric&) = default;
  PThreadDelegateGeneric& operator=(const PThreadDelegateGeneric&) = default;
};

// Runs (object->*method)(arg).
template <class T>
class PThreadDelegateMember : public PThreadDelegateGeneric {
 public:
  using Method = void* (T::*)(void*);

  PThreadDelegateMember(T* object, Method method) : object_(object), method_(method) {}

  void* Run(void* arg) override { return (object_->*method_)(arg); }
  PThreadDelegateGeneric* Clone() const override { return new PThreadDelegateMember(*this); }

 private:
  T* object_;
  Method method_;
};

// Runs function(arg).
class PThreadDelegateFunction : public PThreadDelegateGeneric {
 public:
  using Function = void* (*)(void*);

  explicit PThreadDelegateFunction(Function function) : function_(function) {}

  void* Run(void* arg) override { return function_(arg); }
  PThreadDelegateGeneric* Clone() const override { return new PThreadDelegateFunction(*this); }

 private:
  Function function_;
};

// A started thread. The constructors return only once the new thread has
// taken its copy of the delegate; if the thread cannot be created they throw
// std::exception and no thread exists. `attr` may be null (joinable, default
// attributes), which is what every caller passes.
class PThread {
 public:
  template <class T>
  PThread(const pthread_attr_t* attr, T* object, void* (T::*method)(void*), void* arg)
      : PThread(attr, std::make_unique<PThreadDelegateMember<T>>(object, method), arg) {}

  PThread(const pthread_attr_t* attr, void* (*function)(void*), void* arg)
      : PThread(attr, std::make_unique<PThreadDelegateFunction>(function), arg) {}

  // Neither joins nor detaches: the owner must have done one or the other.
  virtual ~PThread();

  PThread(const PThread&) = delete;
  PThread& operator=(const PThread&) = delete;

  // Waits for the thread to end; stores its result in *result unless result
  // is null. Returns pthread_join's code (0 on success). Call once, and not
  // after Detach.
  int Join(void** result);
  // Lets the thread release itself when it ends. Returns pthread_detach's
  // code (0 on success). Call once, and not after Join.
  int Detach();
  // The POSIX handle, still valid for joining after this object is deleted.
  pthread_t Handle() const { return thread_; }

 private:
  PThread(const pthread_attr_t* attr, std::unique_ptr<PThreadDelegateGeneric> delegate, void* arg);

  static void* Entry(void* self);

  pthread_t thread_;
  std::unique_ptr<PThreadDelegateGeneric> delegate_;
  PCondMutex handshake_;
  void* arg_;
  int started_;  // guarded by handshake_
};

#include "support/threads/thread.h"

#include <exception>
#include <utility>

PThread::PThread(const pthread_attr_t* attr, std::unique_ptr<PThreadDelegateGeneric> delegate,
                 void* arg)
    : thread_(), delegate_(std::move(delegate)), handshake_(false), arg_(arg), started_(0) {
  if (pthread_create(&thread_, attr, &PThread::Entry, this) != 0) {
    delegate_.reset();
    throw std::exception();
  }
  PScopedLock lock(&handshake_);
  while (started_ == 0) handshake_.Wait();
}

PThread::~PThread() = default;

int PThread::Join(void** result) {
  return pthread_join(thread_, result);
}

int PThread::Detach() {
  return pthread_detach(thread_);
}

void* PThread::Entry(void* self) {
  auto* owner = static_cast<PThread*>(self);
  std::unique_ptr<PThreadDelegateGeneric> delegate(owner->delegate_->Clone());
  void* arg = owner->arg_;
  {
    PScopedLock lock(&owner->handshake_);
    owner->started_ = 1;
    owner->handshake_.Broadcast();
  }
  // From here on the owner may already be gone: touch only the copies.
  return delegate->Run(arg);
}

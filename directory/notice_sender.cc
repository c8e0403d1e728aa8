#include "directory/notice_sender.h"

#include "support/log/log.h"

namespace kiv::directory {

NoticeSender::NoticeSender(Deliver deliver) : deliver_(std::move(deliver)) {}

NoticeSender::~NoticeSender() {
  Stop();
}

void NoticeSender::Start() {
  if (thread_) return;
  {
    PScopedLock hold(&lock_);
    stopping_ = false;
  }
  thread_ = std::make_unique<PThread>(nullptr, this, &NoticeSender::Run, nullptr);
}

void NoticeSender::Stop() {
  if (!thread_) return;
  {
    PScopedLock hold(&lock_);
    stopping_ = true;
    lock_.Broadcast();
  }
  thread_->Join(nullptr);
  thread_.reset();
  PScopedLock hold(&lock_);
  if (!queue_.empty()) {
    LogDebug(u"kivd: %d availability notices not sent at shutdown",
             static_cast<int>(queue_.size()));
    queue_.clear();
  }
}

void NoticeSender::Queue(const std::vector<AvailabilityNotice>& notices) {
  if (notices.empty()) return;
  PScopedLock hold(&lock_);
  queue_.insert(queue_.end(), notices.begin(), notices.end());
  lock_.Broadcast();
}

std::uint64_t NoticeSender::Delivered() const {
  PScopedLock hold(&lock_);
  return delivered_;
}

void* NoticeSender::Run(void*) {
  PScopedLock hold(&lock_);
  for (;;) {
    while (!stopping_ && queue_.empty()) lock_.Wait();
    if (stopping_) return nullptr;
    const AvailabilityNotice notice = std::move(queue_.front());
    queue_.pop_front();
    {
      PScopedUnlock release(&lock_);
      try {
        deliver_(notice);
      } catch (const std::exception& e) {
        // One lost notice must not stop the ones after it.
        LogWarn(u"kivd: availability notice not sent: %hs", e.what());
      }
    }
    ++delivered_;
  }
}

}  // namespace kiv::directory

#include "directory/notice_sender.h"

#include "support/log/log.h"

namespace kiv::directory {

template <class Notice>
OrderedSender<Notice>::OrderedSender(Deliver deliver) : deliver_(std::move(deliver)) {}

template <class Notice>
OrderedSender<Notice>::~OrderedSender() {
  Stop();
}

template <class Notice>
void OrderedSender<Notice>::Start() {
  if (thread_) return;
  {
    PScopedLock hold(&lock_);
    stopping_ = false;
  }
  thread_ = std::make_unique<PThread>(nullptr, this, &OrderedSender::Run, nullptr);
}

template <class Notice>
void OrderedSender<Notice>::Stop() {
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
    LogDebug(u"kivd: %d notices not sent at shutdown", static_cast<int>(queue_.size()));
    queue_.clear();
  }
}

template <class Notice>
void OrderedSender<Notice>::Queue(const std::vector<Notice>& notices) {
  if (notices.empty()) return;
  PScopedLock hold(&lock_);
  queue_.insert(queue_.end(), notices.begin(), notices.end());
  lock_.Broadcast();
}

template <class Notice>
std::uint64_t OrderedSender<Notice>::Delivered() const {
  PScopedLock hold(&lock_);
  return delivered_;
}

template <class Notice>
void* OrderedSender<Notice>::Run(void*) {
  PScopedLock hold(&lock_);
  for (;;) {
    while (!stopping_ && queue_.empty()) lock_.Wait();
    if (stopping_) return nullptr;
    const Notice notice = std::move(queue_.front());
    queue_.pop_front();
    {
      PScopedUnlock release(&lock_);
      try {
        deliver_(notice);
      } catch (const std::exception& e) {
        // One lost notice must not stop the ones after it.
        LogWarn(u"kivd: notice not sent: %hs", e.what());
      }
    }
    ++delivered_;
  }
}

template class OrderedSender<AvailabilityNotice>;
template class OrderedSender<EventNotice>;

}  // namespace kiv::directory

#include "directory/notice_sender.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "support/log/log.h"
#include "support/threads/counted_thread.h"
#include "support/threads/timeout.h"

namespace kiv::directory {

namespace {

const std::u16string& RecipientOf(const AvailabilityNotice& notice) {
  return notice.listener;
}
const std::u16string& RecipientOf(const EventNotice& notice) {
  return notice.follower;
}

}  // namespace

template <class Notice>
OrderedSender<Notice>::OrderedSender(Deliver deliver, Dropped dropped,
                                     std::chrono::milliseconds spareThreadLifetime)
    : deliver_(std::move(deliver)),
      dropped_(std::move(dropped)),
      spareThreadLifetime_(spareThreadLifetime) {}

template <class Notice>
OrderedSender<Notice>::~OrderedSender() {
  Stop();
}

template <class Notice>
void OrderedSender<Notice>::Start() {
  PScopedLock hold(&lock_);
  if (running_) return;
  stopping_ = false;
  StartThreadLocked();
  running_ = true;
  // Notices queued before the start may already wait for several recipients.
  AddThreadsLocked();
}

template <class Notice>
void OrderedSender<Notice>::StartThreadLocked() {
  if (!StartCountedThread(alive_, [this] { Run(); })) {
    throw std::runtime_error("no thread could be started");
  }
  ++threads_;
  ++starting_;
}

template <class Notice>
void OrderedSender<Notice>::AddThreadsLocked() {
  try {
    while (running_ && !stopping_ && idle_ + starting_ < ready_.size() && threads_ < kMaxThreads) {
      StartThreadLocked();
    }
  } catch (const std::exception& e) {
    // The running threads still deliver everything, only not as soon.
    LogWarn(u"kivd: no extra thread for notices: %hs", e.what());
  }
}

template <class Notice>
void OrderedSender<Notice>::Stop() {
  {
    PScopedLock hold(&lock_);
    if (!running_) return;
    stopping_ = true;
    lock_.Broadcast();
    // A delivery under way is not cut short; whoever waits for the stop is
    // told for whom, since a silent recipient holds it for the whole bound.
    for (const auto& [name, recipient] : recipients_) {
      if (recipient.busy)
        LogWarn(u"kivd: stopping waits until %s answers a notice, at most the 30 s bound",
                name.c_str());
    }
  }
  WaitForCountedThreads(*alive_);
  PScopedLock hold(&lock_);
  std::size_t left = 0;
  for (const auto& [name, recipient] : recipients_) left += recipient.queue.size();
  if (left > 0) LogDebug(u"kivd: %d notices not sent at shutdown", static_cast<int>(left));
  recipients_.clear();
  ready_.clear();
  idle_ = 0;
  starting_ = 0;
  running_ = false;
}

template <class Notice>
void OrderedSender<Notice>::Queue(const std::vector<Notice>& notices) {
  if (notices.empty()) return;
  std::vector<Drop> drops;
  {
    PScopedLock hold(&lock_);
    for (const Notice& notice : notices) {
      const std::u16string& name = RecipientOf(notice);
      Recipient& recipient = recipients_[name];
      const bool waiting = recipient.busy || !recipient.queue.empty();
      if (recipient.queue.size() >= kMaxQueuedPerRecipient) {
        recipient.queue.pop_front();
        if (drops.empty() || drops.back().recipient != name)
          drops.push_back({name, 0, "queue full"});
        ++drops.back().count;
      }
      recipient.queue.push_back(notice);
      if (!waiting) ready_.push_back(name);
    }
    lock_.Broadcast();
    AddThreadsLocked();
  }
  Report(drops);
}

template <class Notice>
std::uint64_t OrderedSender<Notice>::Delivered() const {
  PScopedLock hold(&lock_);
  return delivered_;
}

template <class Notice>
std::size_t OrderedSender<Notice>::Threads() const {
  PScopedLock hold(&lock_);
  return threads_;
}

template <class Notice>
void OrderedSender<Notice>::Report(const std::vector<Drop>& drops) const {
  if (!dropped_) return;
  for (const Drop& drop : drops) dropped_(drop.recipient, drop.count, drop.why);
}

template <class Notice>
void OrderedSender<Notice>::Run() {
  PScopedLock hold(&lock_);
  --starting_;
  for (;;) {
    ++idle_;
    const timespec spareUntil = AbsoluteTimeout(static_cast<int>(spareThreadLifetime_.count()));
    bool waited = true;
    while (!stopping_ && ready_.empty() && waited) {
      if (threads_ > 1) {
        waited = lock_.TimedWait(spareUntil);
      } else {
        lock_.Wait();
      }
    }
    --idle_;
    // One thread stays, so that a notice seldom waits for a thread to
    // start; the others go once a burst is over.
    if (stopping_ || (ready_.empty() && threads_ > 1)) {
      --threads_;
      return;
    }
    if (ready_.empty()) continue;
    const std::u16string name = std::move(ready_.front());
    ready_.pop_front();
    // Busy recipients are never erased, so the reference stays good.
    Recipient& recipient = recipients_[name];
    recipient.busy = true;
    const Notice notice = std::move(recipient.queue.front());
    recipient.queue.pop_front();
    bool taken = false;
    {
      PScopedUnlock release(&lock_);
      try {
        taken = deliver_(notice);
      } catch (const std::exception& e) {
        LogWarn(u"kivd: notice not sent: %hs", e.what());
      }
    }
    ++delivered_;
    std::vector<Drop> drops;
    if (!taken && !recipient.queue.empty()) {
      drops.push_back({name, recipient.queue.size(), "not taken"});
      recipient.queue.clear();
    }
    recipient.busy = false;
    if (recipient.queue.empty()) {
      recipients_.erase(name);
    } else {
      ready_.push_back(name);
    }
    if (!drops.empty()) {
      PScopedUnlock release(&lock_);
      Report(drops);
    }
  }
}

template class OrderedSender<AvailabilityNotice>;
template class OrderedSender<EventNotice>;

}  // namespace kiv::directory

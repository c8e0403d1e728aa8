// Delivers notices (availability notices to listeners, directory events to
// followers) one at a time, in the order they were queued, on a thread of
// its own, so that no directory request waits for a listener. Any thread
// may Queue; the owner starts and stops it. Notices still queued at Stop
// are dropped (the directory is going away).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "directory/directory_events.h"
#include "directory/directory_table.h"
#include "support/threads/cond.h"
#include "support/threads/thread.h"

namespace kiv::directory {

// Instantiated for AvailabilityNotice and EventNotice only.
template <class Notice>
class OrderedSender {
 public:
  // Delivers one notice; runs on the sender's thread and may block (the
  // directory bounds it with the 30-second request bound).
  using Deliver = std::function<void(const Notice&)>;

  explicit OrderedSender(Deliver deliver);
  ~OrderedSender();  // Stop
  OrderedSender(const OrderedSender&) = delete;
  OrderedSender& operator=(const OrderedSender&) = delete;

  // Throws std::exception when the thread cannot start.
  void Start();
  void Stop();
  void Queue(const std::vector<Notice>& notices);
  std::uint64_t Delivered() const;

 private:
  void* Run(void*);

  const Deliver deliver_;
  mutable PCondMutex lock_;  // guards the members below
  std::deque<Notice> queue_;
  bool stopping_ = false;
  std::uint64_t delivered_ = 0;
  std::unique_ptr<PThread> thread_;  // touched only by the owner's thread
};

using NoticeSender = OrderedSender<AvailabilityNotice>;
using EventSender = OrderedSender<EventNotice>;

}  // namespace kiv::directory

// Delivers availability notices to listeners one at a time, in the order
// they were queued, on a thread of its own, so that no directory request
// waits for a listener. Any thread may Queue; the owner starts and stops it.
// Notices still queued at Stop are dropped (the directory is going away).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "directory/directory_table.h"
#include "support/threads/cond.h"
#include "support/threads/thread.h"

namespace kiv::directory {

class NoticeSender {
 public:
  // Delivers one notice; runs on the sender's thread and may block (the
  // directory bounds it with the 30-second request bound).
  using Deliver = std::function<void(const AvailabilityNotice&)>;

  explicit NoticeSender(Deliver deliver);
  ~NoticeSender();  // Stop
  NoticeSender(const NoticeSender&) = delete;
  NoticeSender& operator=(const NoticeSender&) = delete;

  // Throws std::exception when the thread cannot start.
  void Start();
  void Stop();
  void Queue(const std::vector<AvailabilityNotice>& notices);
  std::uint64_t Delivered() const;

 private:
  void* Run(void*);

  const Deliver deliver_;
  mutable PCondMutex lock_;  // guards the members below
  std::deque<AvailabilityNotice> queue_;
  bool stopping_ = false;
  std::uint64_t delivered_ = 0;
  std::unique_ptr<PThread> thread_;  // touched only by the owner's thread
};

}  // namespace kiv::directory

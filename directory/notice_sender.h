// Delivers notices (availability notices to listeners, directory events to
// followers) off the directory's request threads, so that no directory
// request waits for a listener. Each recipient gets its notices one at a
// time in the order they were queued; different recipients are served side
// by side, so one silent recipient delays only its own notices. Any thread
// may Queue; the owner starts and stops it. Notices still queued at Stop
// are dropped (the directory is going away).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "directory/directory_events.h"
#include "directory/directory_table.h"
#include "support/threads/cond.h"

namespace kiv::directory {

// Instantiated for AvailabilityNotice and EventNotice only.
template <class Notice>
class OrderedSender {
 public:
  // Delivers one notice and says whether the recipient took it; runs on a
  // sender thread and may block (the directory bounds it with the
  // 30-second request bound). A notice not taken drops the ones queued
  // behind it for the same recipient, so that a recipient that has gone
  // silent costs one bounded wait, not one per notice; later notices are
  // tried again.
  using Deliver = std::function<bool(const Notice&)>;
  // Told, outside the sender's lock, how many notices for a recipient were
  // dropped and why ("not taken" or "queue full").
  using Dropped =
      std::function<void(const std::u16string& recipient, std::size_t count, const char* why)>;

  // At most this many notices wait per recipient; past them the oldest go.
  static constexpr std::size_t kMaxQueuedPerRecipient = 1000;
  // Recipients served at once; a thread starts only when all are busy.
  static constexpr std::size_t kMaxThreads = 8;
  // A thread beyond the first that has had nothing to do this long ends.
  static constexpr std::chrono::milliseconds kSpareThreadLifetime{2000};

  explicit OrderedSender(Deliver deliver, Dropped dropped = {},
                         std::chrono::milliseconds spareThreadLifetime = kSpareThreadLifetime);
  ~OrderedSender();  // Stop
  OrderedSender(const OrderedSender&) = delete;
  OrderedSender& operator=(const OrderedSender&) = delete;

  // Starts the first thread; throws std::exception when it cannot start.
  void Start();
  void Stop();
  void Queue(const std::vector<Notice>& notices);
  // Notices handed to Deliver so far, taken or not.
  std::uint64_t Delivered() const;
  // Threads running now.
  std::size_t Threads() const;

 private:
  struct Recipient {
    std::deque<Notice> queue;
    bool busy = false;  // a thread is delivering to it
  };
  struct Drop {
    std::u16string recipient;
    std::size_t count;
    const char* why;
  };

  void Run();
  // Throws std::exception when no thread can be started.
  void StartThreadLocked();
  // Starts threads while recipients wait that no idle or starting thread
  // will take, up to kMaxThreads.
  void AddThreadsLocked();
  void Report(const std::vector<Drop>& drops) const;

  const Deliver deliver_;
  const Dropped dropped_;
  const std::chrono::milliseconds spareThreadLifetime_;
  mutable PCondMutex lock_;  // guards the members below
  std::map<std::u16string, Recipient> recipients_;
  // Recipients with notices and no thread on them, longest waiting first.
  std::deque<std::u16string> ready_;
  std::size_t threads_ = 0;   // threads running Run
  std::size_t idle_ = 0;      // threads waiting for work
  std::size_t starting_ = 0;  // threads started that have not yet taken the lock
  bool running_ = false;
  bool stopping_ = false;
  std::uint64_t delivered_ = 0;
  // Threads that have not yet finished, shared with them: a thread's last
  // step is on this count, after which Stop may destroy the sender.
  const std::shared_ptr<PIntCondMutex> alive_ = std::make_shared<PIntCondMutex>();
};

using NoticeSender = OrderedSender<AvailabilityNotice>;
using EventSender = OrderedSender<EventNotice>;

}  // namespace kiv::directory

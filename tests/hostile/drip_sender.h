// The slow-drip attacker: on a thread of its own it sends every target the
// next byte of its own payload once per interval, and between rounds watches
// the targets so that a close by the victim is noted when it happens. The
// targets belong to the sender from construction until Stop returns; the
// caller keeps them alive and reads them only after Stop.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "support/threads/cond.h"
#include "support/threads/test_util.h"
#include "tests/hostile/raw_connection.h"

namespace kiv::hostile {

struct DripTarget {
  RawConnection* connection;
  Bytes payload;
};

class DripSender {
 public:
  DripSender(std::vector<DripTarget> targets, std::chrono::milliseconds interval);
  // Stops first.
  ~DripSender();
  DripSender(const DripSender&) = delete;
  DripSender& operator=(const DripSender&) = delete;

  // Ends the thread (within one poll slice) and joins it.
  void Stop();
  // Bytes sent so far over all targets.
  std::size_t bytesSent() const { return bytesSent_.load(); }
  // Targets the victim has closed so far, and whether that is all of them.
  std::size_t closed() const { return closed_.load(); }
  bool AllClosed() const { return closed() == targets_.size(); }

 private:
  void Run();
  // Sends every open target its next byte.
  void SendRound();
  // Drains targets that turned readable until `until`, or the stop flag.
  void WatchUntil(Clock::time_point until);
  void CountClosed();

  const std::vector<DripTarget> targets_;
  const std::chrono::milliseconds interval_;
  std::vector<std::size_t> offsets_;  // next payload byte per target
  std::atomic<std::size_t> bytesSent_{0};
  std::atomic<std::size_t> closed_{0};
  PCondFlag stop_;
  std::unique_ptr<TestThread> thread_;
};

}  // namespace kiv::hostile

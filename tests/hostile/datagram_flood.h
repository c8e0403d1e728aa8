// The discovery flood: on a thread of its own it sends datagrams to the
// discovery group over loopback at a steady rate for a fixed time. The mix
// repeats every ten datagrams: well-formed NOTIFYs of ever new fake
// directories (some listing hundreds of new users), BYEBYEs, SEARCHes and
// malformed ones (a tag missing, no line end, oversized, binary).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "support/threads/cond.h"
#include "support/threads/test_util.h"

namespace kiv::hostile {

// The n-th datagram of the mix. Fake directory ids are "fake-<n>", users
// "u<n>-<k>"; none collides with a real directory or user.
std::string FloodDatagram(std::uint64_t n);

class DatagramFlood {
 public:
  DatagramFlood(int perSecond, std::chrono::milliseconds duration);
  // Stops first.
  ~DatagramFlood();
  DatagramFlood(const DatagramFlood&) = delete;
  DatagramFlood& operator=(const DatagramFlood&) = delete;

  // Waits until the time is up and the thread has ended.
  void Wait();
  std::uint64_t sent() const { return sent_.load(); }
  // Datagrams the kernel would not take (a full send buffer).
  std::uint64_t dropped() const { return dropped_.load(); }

 private:
  void Run();

  const int perSecond_;
  const std::chrono::milliseconds duration_;
  std::atomic<std::uint64_t> sent_{0};
  std::atomic<std::uint64_t> dropped_{0};
  PCondFlag stop_;
  std::unique_ptr<TestThread> thread_;
};

}  // namespace kiv::hostile

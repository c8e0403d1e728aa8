// Memory shared by every message a process is decoding at once. Each reader
// takes from it in steps as its message grows and gives everything back when
// it is done, so a handful of large messages arriving together cannot run
// the machine out of memory. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>

namespace kiv {

class DecodeBudget {
 public:
  explicit DecodeBudget(std::uint64_t bytes) : limit_(bytes) {}
  DecodeBudget(const DecodeBudget&) = delete;
  DecodeBudget& operator=(const DecodeBudget&) = delete;

  // False, taking nothing, when `bytes` more would pass the limit.
  bool Take(std::uint64_t bytes);
  void Give(std::uint64_t bytes) { taken_.fetch_sub(bytes); }

  std::uint64_t limit() const { return limit_; }
  std::uint64_t taken() const { return taken_.load(); }

 private:
  const std::uint64_t limit_;
  std::atomic<std::uint64_t> taken_{0};
};

}  // namespace kiv

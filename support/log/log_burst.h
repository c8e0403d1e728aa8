// Bounds how often one kind of log line that a peer can provoke is written
// (a refused connection, a message over the size limit): a scanner or a
// hostile peer must not be able to fill the disk or drown other lines. The
// first lines of a period pass; the rest are counted, and the next line let
// through says how many were left out.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "support/threads/mutex.h"

namespace kiv {

class LogBurst {
 public:
  using Clock = std::chrono::steady_clock;

  // Lets `lines` lines through per `period`.
  LogBurst(int lines, std::chrono::seconds period) : lines_(lines), period_(period) {}
  LogBurst(const LogBurst&) = delete;
  LogBurst& operator=(const LogBurst&) = delete;

  // False when this line is to be left out; else true, with `note` set to
  // "" or to " (N more like it not logged)" for the caller to append.
  bool Admit(std::string& note, Clock::time_point now = Clock::now());

 private:
  const int lines_;
  const std::chrono::seconds period_;
  PMutex lock_;  // guards the members below
  Clock::time_point periodStart_{};
  int passed_ = 0;
  std::uint64_t leftOut_ = 0;
};

}  // namespace kiv

// Windows in which a process ("kivd" or a satellite) was down or not yet
// listed again. A failed call is excused only when its own interval overlaps
// a window of the directory or of its destination (any satellite for "ALL").
// Thread-safe.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "support/threads/mutex.h"
#include "tests/soak/journal.h"

namespace kiv::soak {

inline constexpr char kDirectoryProcess[] = "kivd";
inline constexpr char kAllSatellites[] = "ALL";

class OutageLog {
 public:
  // Opens a window for the process; returns its handle for Close.
  std::size_t Open(const std::string& process, Clock::time_point at);
  void Close(std::size_t window, Clock::time_point at);
  // Whether the call to destination that ran from start to end overlaps a
  // window of the directory or of the destination.
  bool Excuses(const std::string& destination, Clock::time_point start,
               Clock::time_point end) const;

 private:
  struct Window {
    std::string process;
    Clock::time_point begin;
    std::optional<Clock::time_point> end;  // open while unset
  };

  mutable PMutex lock_;
  std::vector<Window> windows_;
};

}  // namespace kiv::soak

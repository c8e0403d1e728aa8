// kiv_soak's command line. Pure: parsing reads only its arguments; a wrong
// command line throws std::invalid_argument with one line naming it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kiv::soak {

struct SoakOptions {
  int seconds = 120;                  // how long disturbances go on
  int satellites = 3;                 // kiv serve processes
  int callers = 4;                    // caller threads in the driver
  std::optional<std::uint64_t> seed;  // drawn from the clock when absent
  bool keepGoing = false;             // report every violation instead of ending at the first
  int logLevel = 3;                   // the processes' LogLevel (0 FATAL .. 4 DEBUG)
  bool help = false;
};

SoakOptions ParseSoakOptions(std::span<const std::string> args);

extern const char kSoakUsage[];

}  // namespace kiv::soak

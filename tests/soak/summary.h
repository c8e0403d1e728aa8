// The figures a soak run ends with, printed so that runs can be compared:
// duration, calls, failures by status code, restarts and how soon the
// directory listed everything again, resources per kind of process, and
// the violations. Pure formatting; the caller gathers the figures.
#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "tests/soak/call_tally.h"
#include "tests/soak/chaos.h"
#include "tests/soak/resource_watch.h"

namespace kiv::soak {

struct SoakFigures {
  std::uint64_t seed = 0;
  double seconds = 0;        // the whole run
  int disturbedSeconds = 0;  // asked for with --seconds
  CallCounts calls;
  ChaosStats chaos;
  std::map<std::string, KindResources> resources;
  std::vector<std::string> violations;
};

void PrintSummary(std::ostream& out, const SoakFigures& figures);

}  // namespace kiv::soak

// One whole soak run in the current (private) network: sets up, disturbs
// while sampling, checks the end state, stops everything cleanly and prints
// the summary; returns the exit status. KIV_DATA_DIR and KIV_REGISTRY must
// already name the run's folder. Call once, from main.
#pragma once

#include <cstdint>
#include <string>

#include "tests/soak/soak_options.h"

namespace kiv::soak {

struct SoakPrograms {
  std::string kivd;
  std::string kiv;
};

int RunSoak(const SoakOptions& options, std::uint64_t seed, const SoakPrograms& programs);

}  // namespace kiv::soak

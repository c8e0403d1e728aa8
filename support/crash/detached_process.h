// Starts a program that outlives nobody's wait: a double fork leaves it a
// child of init, so the caller never waits for it and no zombie stays. It
// inherits the environment and the standard streams, no other descriptors.
// Any thread; the only wait is for the short-lived middle process.
#pragma once

#include <string>
#include <vector>

namespace kiv {

// False when a fork failed; a program that then cannot be executed is not
// reported (its process just ends).
bool StartDetachedProcess(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace kiv

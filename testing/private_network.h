// Moves the calling process into a network namespace of its own that holds
// only an up loopback interface, so a test may bind the directory's fixed
// port and use the discovery group without meeting any other test, and
// nothing it sends can leave the machine. Call before any thread starts.
#pragma once

#include <string>

namespace kiv::testing {

// True when the process now runs in a fresh namespace; false with a reason.
bool EnterPrivateNetwork(std::string* error);

}  // namespace kiv::testing

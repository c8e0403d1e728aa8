// Leaves no process behind however the run ends: forks once (call before any
// thread); the parent waits, passes SIGINT/SIGTERM on and finally kills the
// child's process group, exiting with its status; the child (returns true)
// gets SIGTERM if the parent is killed, e.g. by a ctest time-out.
#pragma once

#include <string>

namespace kiv::soak {

// In the child: true. False (in the only process) when fork failed.
bool RunUnderSupervisor(std::string* error);

}  // namespace kiv::soak

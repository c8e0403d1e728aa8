// Internal to the program runners: starts a built program with posix_spawn,
// argv[0] being its path and the environment this process's plus `extra`
// (extra wins). The caller owns `actions` and `attributes` and reaps the child.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace kiv::testing {

// posix_spawn's answer (0 when started, the child's pid in *pid).
int SpawnProgram(pid_t* pid, const std::string& path, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& extra,
                 const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attributes);

// The whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace kiv::testing

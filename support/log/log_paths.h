// Where log files live: the machine-wide data folder (KIV_DATA_DIR, else
// /var/lib, read at every call) and the running program's base name. Paths
// are the platform's 8-bit names. Callable from any thread; failures are
// reported only through the results.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kiv {

// The data folder, created when missing (one level, as the system's shell
// folder would be); nullopt when it is not a folder afterwards.
std::optional<std::string> LogDataFolder();

// The file-name part of an executable's path, cut at its first ".":
// "/opt/my.tool.exe" gives "my".
std::string ProgramBaseName(std::string_view executablePath);

// ProgramBaseName of the running executable (/proc/self/exe, or the name the
// program was invoked by when that link cannot be read).
std::string RunningProgramBaseName();

}  // namespace kiv

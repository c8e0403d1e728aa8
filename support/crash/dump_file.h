// Our crash dump: a small text file holding what the fault guard saw (signal,
// fault address, thread, raw frame addresses) and the executable mappings
// that let another process turn those addresses into names. Written by the
// faulting process after the guard has jumped back, read by the reporter.
// Pure functions; failures are reported through the results.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/crash/fault_guard.h"

namespace kiv {

// An executable mapping of the process: [start, end) maps the file from
// fileOffset on.
struct DumpModule {
  std::uintptr_t start = 0;
  std::uintptr_t end = 0;
  std::uintptr_t fileOffset = 0;
  std::string path;
};

struct DumpContents {
  std::string application;  // UTF-8
  pid_t process = 0;
  pid_t thread = 0;
  int signal = 0;
  int code = 0;
  std::uintptr_t address = 0;
  std::vector<std::uintptr_t> frames;  // frames[0] faulted, the rest are return addresses
  std::vector<DumpModule> modules;
};

// The executable, file-backed mappings of the calling process.
std::vector<DumpModule> CurrentModules();

// The dump's text for a fault of this process.
std::string FormatDump(std::string_view application, const FaultRecord& fault,
                       const std::vector<DumpModule>& modules);

// Nullopt when the text is not a dump (wrong first line, a malformed line).
std::optional<DumpContents> ParseDump(std::string_view text);

}  // namespace kiv

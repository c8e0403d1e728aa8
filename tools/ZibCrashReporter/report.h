// The crash reporter's work on one dump: read and parse it, name its frames,
// write the readable report beside it (the dump's path with ".dmp" replaced
// by ".txt") and one ERROR line into the shared error log. One thread.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/crash/dump_file.h"
#include "tools/ZibCrashReporter/symbolizer.h"

namespace kiv::reporter {

// "/x/{id}.dmp" gives "/x/{id}.txt"; any other name gets ".txt" appended.
std::string ReportPathFor(const std::string& dumpPath);

std::string FormatReport(const std::string& dumpPath, const DumpContents& dump,
                         const std::vector<FrameName>& frames);

// Returns the exit status: 0 report written, 1 the dump could not be read
// or parsed, or the report not written (the error log says which).
int ReportCrash(const std::string& dumpPath, std::chrono::steady_clock::time_point deadline);

}  // namespace kiv::reporter

// Where the crash glue finds ZibCrashReporter. A host such as python3 lives
// far from the library it loads, so the executable's folder alone misses the
// reporter installed with libkiv. Any thread; nothing is cached, so a
// reporter installed while the process runs is found at the next fault.
#pragma once

#include <string>

namespace kiv {

constexpr char kCrashReporterName[] = "ZibCrashReporter";

// The first executable file of: KIV_CRASH_REPORTER (a program's path), the
// reporter beside the loaded library, the reporter in the library folder's
// ../bin (an installed tree), the reporter beside the running executable.
// Empty when there is none.
std::string FindCrashReporter();

// The same order with the places given: environmentPath may be null or
// empty, a folder may be empty (skipped) and needs no trailing '/'.
std::string FindCrashReporterIn(const char* environmentPath, const std::string& libraryFolder,
                                const std::string& executableFolder);

// The folder (no trailing '/') of the file this code was loaded from: the
// shared library, or the executable the library is linked into. Empty when
// the loader cannot say.
std::string LoadedLibraryFolder();

}  // namespace kiv

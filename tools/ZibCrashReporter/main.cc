// ZibCrashReporter DUMP: writes a readable report of a crash dump beside it
// and a line to the shared error log, then exits. It never hangs: its
// symbol lookups stop at a deadline and an alarm ends it soon after.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "tools/ZibCrashReporter/report.h"

namespace {

constexpr int kLookupSeconds = 15;
constexpr unsigned kAlarmSeconds = 25;  // the last resort: SIGALRM ends the process

}  // namespace

int main(int argc, char** argv) {
  ::alarm(kAlarmSeconds);
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::printf(
        "usage: ZibCrashReporter DUMP\n"
        "Writes a report of the crash dump DUMP beside it (.txt) and a line to\n"
        "the shared error log ZibErrors.log.\n");
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: ZibCrashReporter DUMP\n");
    return 2;
  }
  return kiv::reporter::ReportCrash(
      argv[1], std::chrono::steady_clock::now() + std::chrono::seconds(kLookupSeconds));
}

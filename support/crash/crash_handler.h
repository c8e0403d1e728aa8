// CrashHandler: the glue between the fault guards and the dump writer. One
// short-lived object per dump: it writes our dump of a caught fault into the
// Logs folder, logs one FATAL line (opening the default log when the process
// set up none), keeps the newest MaxCrashDumps crashes there and starts
// ZibCrashReporter on the dump (without waiting). Any thread; failures are
// logged or ignored, never thrown.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "support/crash/dump_writer.h"
#include "support/crash/fault_guard.h"

namespace kiv {

class CrashHandler {
 public:
  // An empty appName logs as "Application". Becomes the process-wide
  // receiver of invalid-parameter reports until destroyed.
  CrashHandler(const std::u16string& appName, bool launchReporter);
  ~CrashHandler();
  CrashHandler(const CrashHandler&) = delete;
  CrashHandler& operator=(const CrashHandler&) = delete;

  // Writes the dump for the fault now; the dump callback has run when this
  // returns. Returns the writer's success.
  bool WriteDumpForException(const FaultRecord* exceptionInfo);

  const std::u16string& AppName() const { return appName_; }
  // The reporter FindCrashReporter found at construction; empty when none.
  const std::u16string& ReporterPath() const { return reporterPath_; }
  // Ends in '/'.
  const std::u16string& DumpFolder() const { return dumpFolder_; }
  const std::u16string& LastDumpPath() const { return lastDumpPath_; }

  // The receiver's answer to an invalid-parameter report: a WARN line, or
  // nothing when no CrashHandler lives. glibc has no runtime hook that
  // reports invalid parameters, so nothing in the library calls this; the
  // failing call just returns its error, as it does everywhere here.
  static void RouteInvalidParameter(const char16_t* expression, const char16_t* function,
                                    const char16_t* file, unsigned int line);

 private:
  static bool DumpCallback(const std::u16string& dumpFolder, const std::u16string& minidumpId,
                           void* context, const FaultRecord* exceptionInfo, bool succeeded);

  const std::u16string appName_;
  const bool launchReporter_;
  const std::u16string reporterPath_;
  const std::u16string dumpFolder_;
  std::u16string lastDumpPath_;
  std::unique_ptr<DumpWriter> exceptionHandler_;
};

// Writes one dump for a fault caught by a guard: a CrashHandler for just
// that dump. Returns the writer's success.
bool WriteCrashDump(const FaultRecord* exceptionInfo, const char16_t* appName, bool launchReporter);

}  // namespace kiv

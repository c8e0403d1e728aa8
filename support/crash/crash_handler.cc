#include "support/crash/crash_handler.h"

#include <limits.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "kiv/utf8.h"
#include "support/crash/detached_process.h"
#include "support/crash/dump_cap.h"
#include "support/crash/reporter_path.h"
#include "support/log/log.h"
#include "support/log/log_line.h"
#include "support/log/log_paths.h"

namespace kiv {
namespace {

// Relaxed atomics instead of the plain pointer it stands for: two dumps at
// once may overwrite each other's registration, but never tear it.
std::atomic<CrashHandler*> invalidParameterReceiver{nullptr};

bool IsFolder(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

// The Logs folder under the data folder (created when missing), else the
// temporary folder, else /tmp/.
std::u16string DumpFolderPath() {
  if (const std::optional<std::string> data = LogDataFolder()) {
    const std::string logs = *data + "/ZibNetworks/Logs/";
    std::error_code error;
    std::filesystem::create_directories(logs, error);
    if (IsFolder(logs)) return FromUtf8(logs);
  }
  const char* temporary = ::getenv("TMPDIR");
  if (temporary != nullptr && *temporary != '\0' && IsFolder(temporary)) {
    std::string folder = temporary;
    if (folder.back() != '/') folder += '/';
    return FromUtf8(folder);
  }
  return u"/tmp/";
}

// The FATAL line of a dump. A host that never set up logging (python3
// loading the library) still gets it: the default log is opened for this
// line and closed again, its writer flushed, when the last user lets go.
// With no data folder there is no log file, so the line goes to standard
// error, by write(2): the faulting handler may have held stdio's lock.
void LogCrashLine(const std::u16string& message) {
  if (LogDataFolder()) {
    InitLogger()->Log(LOG_FATAL, u"%s", message.c_str());
    return;
  }
  const std::string line = FormatLogPrefix(LocalLogTime(), LOG_FATAL, false, 0) +
                           RunningProgramBaseName() + " - " + ToUtf8(message) + "\n";
  // Nothing to do about a refused write.
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

}  // namespace

CrashHandler::CrashHandler(const std::u16string& appName, bool launchReporter)
    : appName_(appName.empty() ? u"Application" : appName),
      launchReporter_(launchReporter),
      reporterPath_(FromUtf8(FindCrashReporter())),
      dumpFolder_(DumpFolderPath()) {
  invalidParameterReceiver.store(this, std::memory_order_relaxed);
  // glibc has no invalid-parameter handler to install: see RouteInvalidParameter.
  exceptionHandler_ = std::make_unique<DumpWriter>(dumpFolder_, appName_, DumpCallback, this);
}

CrashHandler::~CrashHandler() {
  invalidParameterReceiver.store(nullptr, std::memory_order_relaxed);
}

bool CrashHandler::WriteDumpForException(const FaultRecord* exceptionInfo) {
  return exceptionHandler_->WriteMinidumpForException(exceptionInfo);
}

bool CrashHandler::DumpCallback(const std::u16string& dumpFolder, const std::u16string& minidumpId,
                                void* context, const FaultRecord*, bool succeeded) {
  CrashHandler* self = static_cast<CrashHandler*>(context);
  self->lastDumpPath_ = dumpFolder + minidumpId + u".dmp";
  const std::string dumpPath = ToUtf8(self->lastDumpPath_);
  std::error_code error;
  std::uintmax_t size = std::filesystem::file_size(dumpPath, error);
  if (error) size = 0;
  LogCrashLine(u"crash of " + self->appName_ + u". minidump generated as " + self->lastDumpPath_ +
               u" (" + FromUtf8(std::to_string(size / 1024)) + u"kB)");
  if (size == 0) {
    std::filesystem::remove(dumpPath, error);
    return succeeded;
  }
  // Here, not in the signal handler: the guard has already jumped back.
  PruneCrashDumps(ToUtf8(dumpFolder), ConfiguredMaxCrashDumps(), ToUtf8(minidumpId));
  if (self->launchReporter_ && !self->reporterPath_.empty()) {
    // Failure to start the reporter is not the caller's concern.
    StartDetachedProcess(ToUtf8(self->reporterPath_), {dumpPath});
  }
  return succeeded;
}

void CrashHandler::RouteInvalidParameter(const char16_t* expression, const char16_t* function,
                                         const char16_t* file, unsigned int line) {
  if (invalidParameterReceiver.load(std::memory_order_relaxed) == nullptr) return;
  LogWarn(u"Invalid parameter detected in function %s. File: %s Line: %d. Expression: %s",
          function != nullptr ? function : u"", file != nullptr ? file : u"",
          static_cast<int>(line), expression != nullptr ? expression : u"");
}

bool WriteCrashDump(const FaultRecord* exceptionInfo, const char16_t* appName,
                    bool launchReporter) {
  CrashHandler handler(appName != nullptr ? appName : u"", launchReporter);
  return handler.WriteDumpForException(exceptionInfo);
}

}  // namespace kiv

#include "support/crash/crash_handler.h"

#include <limits.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "kiv/utf8.h"
#include "support/crash/detached_process.h"
#include "support/log/log.h"
#include "support/log/log_paths.h"

namespace kiv {
namespace {

constexpr char kReporterName[] = "ZibCrashReporter";

// Relaxed atomics instead of the plain pointer it stands for: two dumps at
// once may overwrite each other's registration, but never tear it.
std::atomic<CrashHandler*> invalidParameterReceiver{nullptr};

std::u16string ReporterPathOfRunningProgram() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return {};
  const std::string executable(path, static_cast<std::size_t>(length));
  const std::size_t slash = executable.rfind('/');
  if (slash == std::string::npos) return {};
  return FromUtf8(executable.substr(0, slash + 1) + kReporterName);
}

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

}  // namespace

CrashHandler::CrashHandler(const std::u16string& appName, bool launchReporter)
    : appName_(appName.empty() ? u"Application" : appName),
      launchReporter_(launchReporter),
      reporterPath_(ReporterPathOfRunningProgram()),
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
  LogFatal(u"crash of %s. minidump generated as %s (%dkB)", self->appName_.c_str(),
           self->lastDumpPath_.c_str(), static_cast<int>(size / 1024));
  if (size == 0) {
    std::filesystem::remove(dumpPath, error);
    return succeeded;
  }
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

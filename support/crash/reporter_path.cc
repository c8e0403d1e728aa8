#include "support/crash/reporter_path.h"

#include <dlfcn.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace kiv {
namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat info {};
  return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash == 0 ? 1 : slash);
}

std::string ExecutableFolder() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return {};
  return FolderOf(std::string(path, static_cast<std::size_t>(length)));
}

}  // namespace

std::string LoadedLibraryFolder() {
  Dl_info info{};
  // Any function of this file names the object the library was loaded from.
  if (::dladdr(reinterpret_cast<void*>(&LoadedLibraryFolder), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  std::string file = info.dli_fname;
  // The main program may be reported by the name it was started under.
  if (file.empty() || file[0] != '/') {
    char resolved[PATH_MAX];
    if (::realpath(file.c_str(), resolved) == nullptr) return {};
    file = resolved;
  }
  return FolderOf(file);
}

std::string FindCrashReporterIn(const char* environmentPath, const std::string& libraryFolder,
                                const std::string& executableFolder) {
  if (environmentPath != nullptr && IsExecutableFile(environmentPath)) return environmentPath;
  // An installed tree keeps the library in <prefix>/lib and the reporter in
  // <prefix>/bin.
  const std::string installedBin = libraryFolder.empty() ? "" : libraryFolder + "/../bin";
  for (const std::string* folder : {&libraryFolder, &installedBin, &executableFolder}) {
    if (folder->empty()) continue;
    const std::string candidate = *folder + "/" + kCrashReporterName;
    if (IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

std::string FindCrashReporter() {
  return FindCrashReporterIn(std::getenv("KIV_CRASH_REPORTER"), LoadedLibraryFolder(),
                             ExecutableFolder());
}

}  // namespace kiv

#include "support/log/log_paths.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace kiv {

std::optional<std::string> LogDataFolder() {
  const char* fromEnvironment = std::getenv("KIV_DATA_DIR");
  std::string folder =
      (fromEnvironment != nullptr && fromEnvironment[0] != '\0') ? fromEnvironment : "/var/lib";
  ::mkdir(folder.c_str(), 0777);  // an existing folder is the normal case
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
  return folder;
}

std::string ProgramBaseName(std::string_view executablePath) {
  const std::size_t slash = executablePath.find_last_of('/');
  std::string_view name =
      slash == std::string_view::npos ? executablePath : executablePath.substr(slash + 1);
  return std::string(name.substr(0, name.find('.')));
}

std::string RunningProgramBaseName() {
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path);
  if (length > 0 && static_cast<std::size_t>(length) < sizeof path) {
    return ProgramBaseName(std::string_view(path, static_cast<std::size_t>(length)));
  }
  return ProgramBaseName(program_invocation_short_name);
}

}  // namespace kiv

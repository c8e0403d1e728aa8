#include "tools/kivd/kivd_folders.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace kiv::kivd {
namespace {

constexpr char kDefaultDataFolder[] = "/var/lib";

// The first folder of a systemd folder list ("a:b"), or "" when unset.
std::string FirstOf(const char* variable) {
  const char* value = ::getenv(variable);
  if (value == nullptr) return "";
  const std::string list = value;
  return list.substr(0, list.find(':'));
}

bool CanWriteFolder(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  return std::filesystem::is_directory(folder, error) && ::access(folder.c_str(), W_OK) == 0;
}

std::string PerUserFolder() {
  const char* state = ::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/kiv";
  const char* home = ::getenv("HOME");
  if (home == nullptr || home[0] != '/') return "";
  return std::string(home) + "/.local/state/kiv";
}

}  // namespace

std::string ChooseDataFolder() {
  const char* chosen = ::getenv("KIV_DATA_DIR");
  if (chosen != nullptr && chosen[0] != '\0') return "";
  if (const std::string state = FirstOf("STATE_DIRECTORY"); !state.empty()) {
    ::setenv("KIV_DATA_DIR", state.c_str(), 1);
    return "";
  }
  const std::string own = std::string(kDefaultDataFolder) + "/ZibNetworks";
  if (CanWriteFolder(own)) return "";
  const std::string fallback = PerUserFolder();
  if (fallback.empty() || !CanWriteFolder(fallback)) return "";  // the table's own warning follows
  ::setenv("KIV_DATA_DIR", fallback.c_str(), 1);
  return "cannot write " + own + " (the default data folder); keeping the table and logs in " +
         fallback + "/ZibNetworks instead; set KIV_DATA_DIR to choose another folder";
}

std::string DefaultLogFile() {
  const std::string logs = FirstOf("LOGS_DIRECTORY");
  return logs.empty() ? "" : logs + "/kiv.log";
}

}  // namespace kiv::kivd

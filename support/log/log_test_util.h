// Helpers for the logger tests: LogSandbox gives a test its own data folder
// (KIV_DATA_DIR) and registry file (KIV_REGISTRY, holding "LogLevel" or not)
// and removes both at its end. The environment is process-wide: tests that
// use a sandbox must not run in parallel within one process.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <optional>
#include <sstream>
#include <string>

#include "support/log/log_line.h"

namespace kiv::logtest {

class LogSandbox {
 public:
  explicit LogSandbox(std::optional<std::uint32_t> logLevel) {
    char pattern[] = "/tmp/kiv-log-test-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    root_ = pattern;
    SetDataFolder(root_ + "/data");
    ::setenv("KIV_REGISTRY", (root_ + "/registry.reg").c_str(), 1);
    SetLogLevel(logLevel);
  }
  ~LogSandbox() {
    ::unsetenv("KIV_DATA_DIR");
    ::unsetenv("KIV_REGISTRY");
    std::filesystem::remove_all(root_);
  }

  void SetLogLevel(std::optional<std::uint32_t> logLevel) {
    std::ofstream out(root_ + "/registry.reg", std::ios::trunc);
    out << "Windows Registry Editor Version 5.00\n\n"
        << "[HKEY_LOCAL_MACHINE\\Software\\ZIB Networks\\Zib]\n";
    if (logLevel) {
      out << "\"LogLevel\"=dword:" << std::hex << std::setw(8) << std::setfill('0') << *logLevel
          << "\n";
    }
  }
  void SetDataFolder(const std::string& folder) {
    dataFolder_ = folder;
    ::setenv("KIV_DATA_DIR", folder.c_str(), 1);
  }

  const std::string& Root() const { return root_; }
  const std::string& DataFolder() const { return dataFolder_; }
  std::string LogPath(const std::string& name) const {
    return dataFolder_ + "/ZibNetworks/Logs/" + name;
  }

 private:
  std::string root_;
  std::string dataFolder_;
};

inline bool PathExists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

// The whole file; "<missing>" when it cannot be read.
inline std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Creates the folders on the way; the text is lines of 63 'o'.
inline void WriteFileOfSize(const std::string& path, std::size_t size) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::string text(size, 'o');
  for (std::size_t i = 63; i < size; i += 64) text[i] = '\n';
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline LogTime FixedTime() {
  return {2026, 1, 31, 9, 5, 7, 42};
}
constexpr char kFixedStamp[] = "2026/01/31 09:05:07.042";

// A whole line as a fixed-clock logger without process id writes it.
inline std::string Line(const std::string& level, const std::string& message) {
  return std::string(kFixedStamp) + " [" + level + "] - " + message + "\n";
}

}  // namespace kiv::logtest

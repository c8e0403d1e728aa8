// Helpers for the logger tests: LogSandbox gives a test its own data folder
// (KIV_DATA_DIR) and registry file (KIV_REGISTRY, holding "LogLevel" or not)
// and removes both at its end. The environment is process-wide: tests that
// use a sandbox must not run in parallel within one process.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "support/log/log_line.h"
#include "support/text/wide_format.h"
#include "testing/temp_dir.h"

namespace kiv::logtest {

class LogSandbox {
 public:
  explicit LogSandbox(std::optional<std::uint32_t> logLevel)
      : dataFolder_(root_.path().string() + "/data") {
    const std::string registry = root_.path().string() + "/registry.reg";
    ::setenv("KIV_DATA_DIR", dataFolder_.c_str(), 1);
    ::setenv("KIV_REGISTRY", registry.c_str(), 1);
    std::string value;
    if (logLevel) FormatString(value, "\"LogLevel\"=dword:%08x\n", *logLevel);
    std::ofstream(registry, std::ios::trunc)
        << "Windows Registry Editor Version 5.00\n\n"
        << "[HKEY_LOCAL_MACHINE\\Software\\ZIB Networks\\Zib]\n"
        << value;
  }
  ~LogSandbox() {
    ::unsetenv("KIV_DATA_DIR");
    ::unsetenv("KIV_REGISTRY");
  }

  const std::string& DataFolder() const { return dataFolder_; }
  std::string LogPath(const std::string& name) const {
    return dataFolder_ + "/ZibNetworks/Logs/" + name;
  }

 private:
  kiv::testing::TempDir root_{"kiv-log-test"};
  std::string dataFolder_;
};

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

// A whole line as a fixed-clock logger without process id writes it.
inline std::string Line(const std::string& level, const std::string& message) {
  return "2026/01/31 09:05:07.042 " + LogWriterTag() + " [" + level + "] - " + message + "\n";
}

}  // namespace kiv::logtest

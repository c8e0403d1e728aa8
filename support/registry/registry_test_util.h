// KIV_REGISTRY pointed at a store file in a fresh temporary folder for the
// test's lifetime. The folder of the file is created by the first write.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "testing/temp_dir.h"

class TempRegistry {
 public:
  TempRegistry() : path_(folder_.File("etc/registry.reg")) {
    setenv("KIV_REGISTRY", path_.c_str(), 1);
  }
  ~TempRegistry() { unsetenv("KIV_REGISTRY"); }
  TempRegistry(const TempRegistry&) = delete;
  TempRegistry& operator=(const TempRegistry&) = delete;

  const std::string& path() const { return path_; }
  // The store file, or the file of that name plus `suffix` beside it.
  void Write(const std::string& text, const std::string& suffix = "") const {
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
    std::ofstream(path_ + suffix, std::ios::binary) << text;
  }
  // A store holding only `values` (lines such as "Name"="text") under
  // HKEY_LOCAL_MACHINE\Software\ZIB Networks\Zib, where the settings live.
  void WriteSettings(const std::string& values) const {
    Write(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\ZIB Networks\\Zib]\n" +
        values + "\n");
  }
  std::string Read() const {
    std::ifstream file(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
  }

 private:
  kiv::testing::TempDir folder_{"kiv-registry"};
  std::string path_;
};

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
  void Write(const std::string& text) const {
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
    std::ofstream(path_, std::ios::binary) << text;
  }

 private:
  kiv::testing::TempDir folder_{"kiv-registry"};
  std::string path_;
};

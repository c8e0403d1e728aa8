// Helpers for the registry tests: a temporary folder removed with all its
// content, and KIV_REGISTRY pointed at a file in it for the test's lifetime.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class TempRegistry {
 public:
  TempRegistry() {
    char pattern[] = "/tmp/kiv_registry_test.XXXXXX";
    if (mkdtemp(pattern) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    folder_ = pattern;
    path_ = folder_ + "/etc/registry.reg";  // the folder below is created by the first write
    setenv("KIV_REGISTRY", path_.c_str(), 1);
  }
  ~TempRegistry() {
    unsetenv("KIV_REGISTRY");
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  TempRegistry(const TempRegistry&) = delete;
  TempRegistry& operator=(const TempRegistry&) = delete;

  const std::string& path() const { return path_; }

  std::string Read() const {
    std::ifstream file(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
  }
  void Write(const std::string& text) const {
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
    std::ofstream(path_, std::ios::binary) << text;
  }

 private:
  std::string folder_;
  std::string path_;
};

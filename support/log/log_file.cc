#include "support/log/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "support/text/wide_format.h"

namespace kiv {
namespace {

// Bytes in the file at path, creating it when missing; 0 when it cannot be
// opened at all (a folder of that name, say).
std::uint64_t SizeOrCreate(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return 0;
  struct stat info {};
  const std::uint64_t size = ::fstat(fd, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  ::close(fd);
  return size;
}

}  // namespace

void LogFile::Open(const std::string& path) {
  file_.reset();
  size_ = 0;
  const std::uint64_t size = SizeOrCreate(path);
  if (size > kLogRotateSize) {
    // Copy then delete, so a reader holding the old file keeps its contents.
    std::error_code ignored;
    std::filesystem::copy_file(path, path + ".back",
                               std::filesystem::copy_options::overwrite_existing, ignored);
    std::filesystem::remove(path, ignored);
  } else {
    size_ = static_cast<std::uint32_t>(size);
  }
  OpenAttempts(path);
}

void LogFile::OpenAttempts(const std::string& base) {
  std::string name = base;
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (attempt > 0) FormatString(name, "%s%d", base.c_str(), attempt);
    // "e": the descriptor must not leak into programs this process starts.
    file_.reset(std::fopen(name.c_str(), "ae"));
    path_ = name;
    if (file_) return;
  }
}

void LogFile::WriteLine(std::string_view line) {
  if (!file_) return;
  // Results are ignored on purpose: a refused write drops the line only.
  std::fwrite(line.data(), 1, line.size(), file_.get());
  std::fflush(file_.get());
  size_ += static_cast<std::uint32_t>(line.size());
  if (size_ >= kLogRotateSize) Rotate();
}

void LogFile::Rotate() {
  file_.reset();
  const std::string back = path_.substr(0, 255) + ".back";
  std::rename(path_.c_str(), back.c_str());  // replaces an older back file
  const std::string current = path_;
  OpenAttempts(current);
  size_ = 0;
}

}  // namespace kiv

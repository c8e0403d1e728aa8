// One log file: its current path, the open append stream and the byte
// counter that decides rotation. Not thread-safe: its owner serialises every
// call. Failures never reach the caller: a file that cannot be opened under
// any of its ten names stays closed and lines for it are dropped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace kiv {

// Rotation size in bytes. At opening a file rotates when larger than this;
// while writing, when its counter reaches it.
constexpr std::uint32_t kLogRotateSize = 0x80000;

class LogFile {
 public:
  LogFile() = default;
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Size check (a file above kLogRotateSize is copied to path + ".back" and
  // deleted), then up to ten attempts to open for appending: path, then
  // path + "1" ... path + "9". Path() is the last name tried.
  void Open(const std::string& path);

  // Writes and flushes the line, counts its length, and once the counter
  // reaches kLogRotateSize moves the file to Path() (cut to 255 bytes) +
  // ".back" and reopens. Does nothing while no file is open.
  void WriteLine(std::string_view line);

  bool IsOpen() const { return file_ != nullptr; }
  const std::string& Path() const { return path_; }
  std::uint32_t Size() const { return size_; }

 private:
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };

  // The ten open attempts from base; on success path_ is the name opened.
  void OpenAttempts(const std::string& base);
  void Rotate();

  std::unique_ptr<std::FILE, Closer> file_;
  std::string path_;
  std::uint32_t size_ = 0;
};

}  // namespace kiv

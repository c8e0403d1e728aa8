#include "support/log/log_sink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>

#include "support/log/log_file.h"
#include "support/threads/mutex.h"

namespace kiv {
namespace {

struct DestinationSlot {
  PMutex lock;
  LogDestination destination;
};

DestinationSlot& Slot() {
  // Never destroyed: loggers of late threads may still read it.
  static DestinationSlot* const slot = new DestinationSlot;
  return *slot;
}

class FileSink : public LogSink {
 public:
  FileSink(const std::string& path, bool showPid)
      : showPid_(showPid), pid_(static_cast<std::uint32_t>(::getpid())) {
    file_.Open(path);
  }
  std::string Line(const LogTime& time, int level, std::string_view message) const override {
    std::string line = FormatLogPrefix(time, level, showPid_, pid_);
    line.append(message);
    line += '\n';
    return line;
  }
  void Write(std::string_view line) override { file_.WriteLine(line); }

 private:
  const bool showPid_;
  const std::uint32_t pid_;
  LogFile file_;
};

class StandardErrorSink : public LogSink {
 public:
  explicit StandardErrorSink(bool journal) : journal_(journal) {}
  std::string Line(const LogTime& time, int level, std::string_view message) const override {
    std::string line =
        journal_ ? JournalPriorityPrefix(level) : FormatLogPrefix(time, level, false, 0);
    line.append(message);
    line += '\n';
    return line;
  }
  void Write(std::string_view line) override {
    while (!line.empty()) {
      const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return;  // a closed or full stream drops the rest
      line.remove_prefix(static_cast<std::size_t>(written));
    }
  }

 private:
  const bool journal_;
};

// JOURNAL_STREAM is "DEVICE:INODE" of the stream systemd connected; a
// program that redirected its standard error since must not claim it.
bool StandardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  const std::string_view text(stream);
  const std::size_t colon = text.find(':');
  unsigned long long device = 0, inode = 0;
  if (colon == std::string_view::npos ||
      std::from_chars(text.data(), text.data() + colon, device).ptr != text.data() + colon ||
      std::from_chars(text.data() + colon + 1, text.data() + text.size(), inode).ptr !=
          text.data() + text.size()) {
    return false;
  }
  struct stat info {};
  return ::fstat(STDERR_FILENO, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

}  // namespace

void SetLogDestination(LogDestination destination) {
  DestinationSlot& slot = Slot();
  PScopedLock lock(&slot.lock);
  slot.destination = std::move(destination);
}

LogDestination GetLogDestination() {
  DestinationSlot& slot = Slot();
  PScopedLock lock(&slot.lock);
  return slot.destination;
}

std::unique_ptr<LogSink> MakeFileSink(const std::string& path, bool showPid) {
  return std::make_unique<FileSink>(path, showPid);
}

std::unique_ptr<LogSink> MakeStandardErrorSink() {
  return std::make_unique<StandardErrorSink>(StandardErrorIsJournal());
}

}  // namespace kiv

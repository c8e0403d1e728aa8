// Where a logger's main lines go and how they look there. The destination
// is chosen once per process by its program, before the first message
// (kivd: standard error unless told to use a file); every other program
// keeps the default, its file in the logs folder. A file names the writer
// on every line, as several programs share it; standard error belongs to
// one program, and when the journal keeps it a line starts with its syslog
// priority and leaves the time stamp to the journal.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "support/log/log_line.h"

namespace kiv {

struct LogDestination {
  enum class Kind { kFile, kStandardError };
  Kind kind = Kind::kFile;
  // kFile: this file; empty means the logger's own file in the logs folder.
  std::string filePath;
};

// Process-wide, any thread; a logger reads it once, when it initialises.
void SetLogDestination(LogDestination destination);
LogDestination GetLogDestination();

// One destination. Line may be called from any thread; Write by one thread
// at a time (the logger's writer). A line that cannot be written is dropped.
class LogSink {
 public:
  virtual ~LogSink() = default;
  // The whole line for a finished message, newline included.
  virtual std::string Line(const LogTime& time, int level, std::string_view message) const = 0;
  virtual void Write(std::string_view line) = 0;
};

// Appends to the file at path (LogFile: rotation, fallback names); showPid
// adds the bare process id after the level, as the logger's owner asked.
std::unique_ptr<LogSink> MakeFileSink(const std::string& path, bool showPid);

// Writes to descriptor 2. Journal form when JOURNAL_STREAM names that
// descriptor's device and inode (read now), dated lines otherwise.
std::unique_ptr<LogSink> MakeStandardErrorSink();

}  // namespace kiv

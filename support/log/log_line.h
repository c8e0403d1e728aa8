// Pieces of one log line: the local time stamp, the level names and the
// prefix "YYYY/MM/DD hh:mm:ss.mmm program[pid] [LEVEL] - ". Callable from any
// thread; none of them fails or throws except std::bad_alloc. Pure but for
// the writer's name and process id, which they read from the process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kiv {

// A local wall-clock reading, fields as printed (month 1-12, day 1-31).
struct LogTime {
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// Where a logger takes its time stamps; tests inject a fixed clock.
using LogClock = std::function<LogTime()>;

// The current local time, to the millisecond.
LogTime LocalLogTime();

// "FATAL", "ERROR", "WARN", "INFO", "DEBUG" for levels 0..4; null otherwise.
const char* LogLevelName(int level);

// "program[pid]" of the running process (ProgramBaseName of its executable):
// several programs write one kiv.log and ZibErrors.log, so every line there
// names its writer. The process id is read at each call, so a forked child
// names itself.
std::string LogWriterTag();

// The line prefix for a level of 0..4, with the process id after the level
// when showPid is set. Formatted in a 2048-byte buffer, so it is cut there.
std::string FormatLogPrefix(const LogTime& time, int level, bool showPid, std::uint32_t pid);

// "<N>", the syslog priority of a level of 0..4 as the journal reads it at
// the start of a line on a stream it keeps (FATAL and ERROR 3, WARN 4, INFO
// 6, DEBUG 7); "" for other levels.
std::string JournalPriorityPrefix(int level);

// wchar_t text is UTF-32 on this platform while the logger's wide text is
// UTF-16: characters beyond U+FFFF become surrogate pairs, values beyond
// U+10FFFF become U+FFFD, and lone surrogate values pass through unchanged.
std::u16string WideToUtf16(std::wstring_view text);

}  // namespace kiv

#include "support/log/log_line.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "support/log/log_paths.h"

namespace kiv {

LogTime LocalLogTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  LogTime time;
  time.year = local.tm_year + 1900;
  time.month = local.tm_mon + 1;
  time.day = local.tm_mday;
  time.hour = local.tm_hour;
  time.minute = local.tm_min;
  time.second = local.tm_sec;
  time.millisecond = static_cast<int>(now.tv_nsec / 1000000);
  return time;
}

const char* LogLevelName(int level) {
  static const char* const kNames[] = {"FATAL", "ERROR", "WARN", "INFO", "DEBUG"};
  if (level < 0 || level > 4) return nullptr;
  return kNames[level];
}

std::string LogWriterTag() {
  // The executable does not change while the process lives.
  static const std::string program = RunningProgramBaseName();
  return program + "[" + std::to_string(::getpid()) + "]";
}

std::string FormatLogPrefix(const LogTime& time, int level, bool showPid, std::uint32_t pid) {
  const char* name = LogLevelName(level);
  if (name == nullptr) name = "";
  const std::string writer = LogWriterTag();
  char buffer[2048];
  const int length = showPid
                         ? std::snprintf(buffer, sizeof buffer,
                                         "%04d/%02d/%02d %02d:%02d:%02d.%03d %s [%-5.5s] %u - ",
                                         time.year, time.month, time.day, time.hour, time.minute,
                                         time.second, time.millisecond, writer.c_str(), name, pid)
                         : std::snprintf(buffer, sizeof buffer,
                                         "%04d/%02d/%02d %02d:%02d:%02d.%03d %s [%-5.5s] - ",
                                         time.year, time.month, time.day, time.hour, time.minute,
                                         time.second, time.millisecond, writer.c_str(), name);
  if (length < 0) return std::string();
  return std::string(buffer,
                     std::min<std::size_t>(static_cast<std::size_t>(length), sizeof buffer - 1));
}

std::string JournalPriorityPrefix(int level) {
  static const char* const kPriorities[] = {"<3>", "<3>", "<4>", "<6>", "<7>"};
  if (level < 0 || level > 4) return std::string();
  return kPriorities[level];
}

std::u16string WideToUtf16(std::wstring_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    const auto code = static_cast<std::uint32_t>(c);
    if (code < 0x10000) {
      out.push_back(static_cast<char16_t>(code));
    } else if (code <= 0x10FFFF) {
      const std::uint32_t offset = code - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 | (offset >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 | (offset & 0x3FF)));
    } else {
      out.push_back(u'\uFFFD');
    }
  }
  return out;
}

}  // namespace kiv

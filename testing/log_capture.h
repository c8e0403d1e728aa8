// LogCapture: keeps every formatted log message in memory instead of
// writing files, installed as the process-wide logger for its scope. Any
// thread may log through it; one capture at a time.
#pragma once

#include <algorithm>
#include <boost/make_shared.hpp>
#include <boost/shared_ptr.hpp>
#include <cstdarg>
#include <string>
#include <utility>
#include <vector>

#include "kiv/utf8.h"
#include "support/log/log.h"
#include "support/text/wide_format.h"
#include "support/threads/mutex.h"

namespace kiv::testing {

class LogCapture {
 public:
  LogCapture() : log_(boost::make_shared<Log>()) { SetGlobalLogger(log_); }
  ~LogCapture() { SetGlobalLogger({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Level and message of each line.
  std::vector<std::pair<int, std::string>> Lines() {
    PScopedLock guard(&log_->lock);
    return log_->lines;
  }
  // How many messages of that level read exactly `message`.
  int Count(int level, const std::string& message) {
    return static_cast<int>(std::ranges::count(Lines(), std::pair{level, message}));
  }

 private:
  struct Log : CBBLog {
    Log() : CBBLog(u"capture.log", false) {}
    void VLog(const char16_t* format, va_list arguments, int level) override {
      std::string message = kiv::ToUtf8(kiv::WideFormatV(format, arguments));
      PScopedLock guard(&lock);
      lines.emplace_back(level, std::move(message));
    }
    PMutex lock;
    std::vector<std::pair<int, std::string>> lines;
  };
  boost::shared_ptr<Log> log_;
};

}  // namespace kiv::testing

// LogCapture: a logger for tests that keeps every formatted message in
// memory instead of writing files, installed as the process-wide logger for
// its scope. Any thread may log through it; one capture at a time.
#pragma once

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

class CapturingLog : public CBBLog {
 public:
  CapturingLog() : CBBLog(u"capture.log", false) {}

  void VLog(const char16_t* format, va_list arguments, int level) override {
    std::string message = kiv::ToUtf8(kiv::WideFormatV(format, arguments));
    PScopedLock guard(&lock_);
    lines_.emplace_back(level, std::move(message));
  }

  std::vector<std::pair<int, std::string>> Lines() {
    PScopedLock guard(&lock_);
    return lines_;
  }

 private:
  PMutex lock_;
  std::vector<std::pair<int, std::string>> lines_;  // level, message
};

class LogCapture {
 public:
  LogCapture() : log_(boost::make_shared<CapturingLog>()) { SetGlobalLogger(log_); }
  ~LogCapture() { SetGlobalLogger({}); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::pair<int, std::string>> Lines() { return log_->Lines(); }
  // How many messages of that level read exactly `message`.
  int Count(int level, const std::string& message) {
    int n = 0;
    for (const auto& line : Lines()) n += line.first == level && line.second == message;
    return n;
  }

 private:
  boost::shared_ptr<CapturingLog> log_;
};

}  // namespace kiv::testing

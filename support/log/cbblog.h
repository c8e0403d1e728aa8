// CBBLog, the process-wide logger: UTF-8 lines into the per-program log or the
// process's chosen destination (support/log/log_sink.h; queued, written by
// the logger's writer thread) and FATAL lines also into ZibErrors.log (on
// the caller's thread). Any thread may log; failures never
// reach the caller, lines that cannot be written are dropped.
#pragma once

#include <atomic>
#include <boost/format/format_fwd.hpp>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "support/log/log_file.h"
#include "support/log/log_line.h"
#include "support/log/log_sink.h"
#include "support/threads/cond.h"
#include "support/threads/mutex.h"
#include "support/threads/thread.h"

// Levels: lower is more severe; a message must carry one of these.
// (These names clash with <syslog.h>'s macros; do not include both.)
constexpr int LOG_FATAL = 0;
constexpr int LOG_ERROR = 1;
constexpr int LOG_WARN = 2;
constexpr int LOG_INFO = 3;
constexpr int LOG_DEBUG = 4;

class CBBLog {
 public:
  // fileName: the per-program log's name inside the logs folder; empty
  // means the program's base name plus ".log". showPid puts the process id
  // into every line. The clock stamps lines (tests fix it).
  CBBLog(const std::u16string& fileName, bool showPid);
  CBBLog(const std::u16string& fileName, bool showPid, kiv::LogClock clock);
  // Writes every queued line, stops the writer thread and closes both files.
  virtual ~CBBLog();

  CBBLog(const CBBLog&) = delete;
  CBBLog& operator=(const CBBLog&) = delete;

  // The virtual operations keep their slot order: Log(level, ...),
  // Log(...) at LOG_DEBUG, VLog, Log(wformat), WriteErrorLog.
  // Formats follow kiv::WideFormatV (%s takes UTF-16 text); the message is
  // cut to 2047 UTF-16 units.
  virtual void Log(int level, const char16_t* format, ...);
  virtual void Log(const char16_t* format, ...);
  virtual void VLog(const char16_t* format, va_list arguments, int level);
  // The finished text of the format object, without length limit. wformat
  // yields UTF-32 wchar_t text here; it is turned into UTF-16 first
  // (kiv::WideToUtf16), so lines match those of the format-string forms. A
  // format object that fails to produce its text drops the message.
  virtual void Log(boost::wformat format, int level);
  // Appends a finished line to ZibErrors.log (initialising when needed).
  virtual void WriteErrorLog(const std::string& line);

  // -1 until the registry's "LogLevel" has been read (at the first message);
  // then the highest level written.
  std::int32_t Threshold() const { return threshold_.load(std::memory_order_relaxed); }
  // Reads "LogLevel" again now (a daemon's reload) and returns the threshold
  // it replaced (-1 when none had been read yet).
  std::int32_t RereadThreshold();

 private:
  // Reads the threshold when still -1; true when a message of level passes.
  bool Passes(int level);
  // Runs the initialisation once; true when some log file was set up.
  bool EnsureInitialized();
  void InitializeLocked();
  // Builds the line for an already formatted message and hands it on.
  void Emit(int level, const std::u16string& message);
  void Queue(std::string line);
  void* WriterLoop(void*);

  // The fields of the interface, in its order; the sink stands for the main
  // file's stream, path and rotation counter, the LogFile for the error log's.
  const std::u16string fileName_;
  std::unique_ptr<kiv::LogSink> mainSink_;  // made at initialisation, then the writer's
  kiv::LogFile errorLog_;  // opened at initialisation, then written under initLock_
  // No lock: two threads reading the registry at once store the same value.
  std::atomic<std::int32_t> threshold_{-1};
  // Released last by the initialisation: whoever sees it set may read the
  // flags, processName_ and writerThread_ without initLock_.
  std::atomic<bool> initialized_{false};
  bool mainReady_ = false;
  bool errorReady_ = false;
  std::string processName_;
  PMutex initLock_;
  const bool showPid_;
  const std::uint32_t pid_;
  const kiv::LogClock clock_;
  std::unique_ptr<PThread> writerThread_;  // none when it could not start

  PCondMutex queueLock_;
  bool stopping_ = false;          // guarded by queueLock_
  std::deque<std::string> queue_;  // guarded by queueLock_; oldest first
};

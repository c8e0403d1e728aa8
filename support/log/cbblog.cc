#include "support/log/cbblog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <exception>
#include <utility>

#include "kiv/utf8.h"
#include "support/log/log_paths.h"
#include "support/registry/registry.h"
#include "support/text/wide_format.h"

namespace {

// At most this many UTF-16 units of a formatted message are kept.
constexpr std::size_t kMaxMessageUnits = 2047;

}  // namespace

CBBLog::CBBLog(const std::u16string& fileName, bool showPid)
    : CBBLog(fileName, showPid, kiv::LocalLogTime) {}

CBBLog::CBBLog(const std::u16string& fileName, bool showPid, kiv::LogClock clock)
    : fileName_(fileName),
      showPid_(showPid),
      pid_(static_cast<std::uint32_t>(::getpid())),
      clock_(std::move(clock)) {}

CBBLog::~CBBLog() {
  {
    PScopedLock lock(&queueLock_);
    stopping_ = true;
    queueLock_.Broadcast();
  }
  if (writerThread_) writerThread_->Join(nullptr);
  // Both files close with their members.
}

void CBBLog::Log(int level, const char16_t* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  VLog(format, arguments, level);
  va_end(arguments);
}

void CBBLog::Log(const char16_t* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  VLog(format, arguments, LOG_DEBUG);
  va_end(arguments);
}

void CBBLog::VLog(const char16_t* format, va_list arguments, int level) {
  if (format == nullptr) return;
  try {
    if (!Passes(level) || !EnsureInitialized()) return;
    std::u16string message = kiv::WideFormatV(format, arguments);
    if (message.size() > kMaxMessageUnits) message.resize(kMaxMessageUnits);
    Emit(level, message);
  } catch (const std::exception&) {
    // Logging reports nothing: a message that cannot be built is dropped.
  }
}

void CBBLog::Log(boost::wformat format, int level) {
  try {
    if (!Passes(level) || !EnsureInitialized()) return;
    Emit(level, kiv::WideToUtf16(format.str()));
  } catch (const std::exception&) {
    // Missing arguments throw from str(); the message is dropped.
  }
}

void CBBLog::WriteErrorLog(const std::string& line) {
  if (!initialized_.load(std::memory_order_acquire)) {
    PScopedLock lock(&initLock_);
    InitializeLocked();
  }
  if (!errorReady_) return;
  PScopedLock lock(&initLock_);
  errorLog_.WriteLine(line);
}

bool CBBLog::Passes(int level) {
  // The level indexes the name table: anything else is never written.
  if (level < LOG_FATAL || level > LOG_DEBUG) return false;
  std::int32_t threshold = threshold_.load(std::memory_order_relaxed);
  if (threshold == -1) {
    std::uint32_t value = 0;
    const boost::shared_ptr<CRegistry> registry = GetRegistry();
    threshold =
        registry && registry->GetDwordValue(u"Software\\ZIB Networks\\Zib", u"LogLevel", value)
            ? static_cast<std::int32_t>(value)
            : LOG_ERROR;
    // A stored -1 keeps the logger unread, so the value is read again.
    threshold_.store(threshold, std::memory_order_relaxed);
  }
  return level <= threshold;
}

bool CBBLog::EnsureInitialized() {
  if (!initialized_.load(std::memory_order_acquire)) {
    PScopedLock lock(&initLock_);
    InitializeLocked();
  }
  return mainReady_ || errorReady_;
}

void CBBLog::InitializeLocked() {
  if (initialized_.load(std::memory_order_relaxed)) return;
  const std::optional<std::string> dataFolder = kiv::LogDataFolder();
  if (!dataFolder) {
    // No files ever: every message is dropped from now on.
    initialized_.store(true, std::memory_order_release);
    return;
  }
  processName_ = kiv::RunningProgramBaseName();
  const std::string zibFolder = *dataFolder + "/ZibNetworks";
  const std::string logsFolder = zibFolder + "/Logs";
  // Failures show up as files that cannot be opened.
  ::mkdir(zibFolder.c_str(), 0777);
  ::mkdir(logsFolder.c_str(), 0777);

  const std::string mainName = fileName_.empty() ? processName_ + ".log" : kiv::ToUtf8(fileName_);
  mainLog_.Open(logsFolder + "/" + mainName);
  mainReady_ = true;
  errorLog_.Open(logsFolder + "/ZibErrors.log");
  errorReady_ = true;
  try {
    writerThread_ = std::make_unique<PThread>(nullptr, this, &CBBLog::WriterLoop, nullptr);
  } catch (const std::exception&) {
    // Without a writer thread, Queue writes on the caller's thread.
  }
  // Released last, so that readers who see it also see the thread.
  initialized_.store(true, std::memory_order_release);
}

void CBBLog::Emit(int level, const std::u16string& message) {
  const kiv::LogTime time = clock_();
  std::string line = kiv::FormatLogPrefix(time, level, showPid_, pid_);
  if (level == LOG_FATAL) {
    line += processName_;
    line += " - ";
  }
  line += kiv::ToUtf8(message);
  line += '\n';
  if (level == LOG_FATAL) {
    if (mainReady_) Queue(line);
    WriteErrorLog(line);
  } else if (mainReady_) {
    Queue(std::move(line));
  }
}

void CBBLog::Queue(std::string line) {
  if (!writerThread_) {
    PScopedLock lock(&initLock_);
    mainLog_.WriteLine(line);
    return;
  }
  PScopedLock lock(&queueLock_);
  queue_.push_back(std::move(line));
  queueLock_.Broadcast();
}

void* CBBLog::WriterLoop(void*) {
  std::deque<std::string> batch;
  PScopedLock lock(&queueLock_);
  for (;;) {
    while (!stopping_ && queue_.empty()) queueLock_.Wait();
    // The queue is emptied before stopping_ is looked at, so every line
    // queued before the destructor ran reaches the file. Taking all waiting
    // lines at once keeps producers from meeting the writer on the lock
    // once per line; each line is still flushed on its own.
    while (!queue_.empty()) {
      batch.swap(queue_);
      PScopedUnlock unlock(&queueLock_);
      for (; !batch.empty(); batch.pop_front()) {
        try {
          mainLog_.WriteLine(batch.front());
        } catch (const std::exception&) {
          // Out of memory while rotating: the line is lost, the thread goes on.
        }
      }
    }
    if (stopping_) return nullptr;
  }
}

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

// The store's "LogLevel", ERROR when it has none.
std::int32_t StoredThreshold() {
  std::uint32_t value = 0;
  const boost::shared_ptr<CRegistry> registry = GetRegistry();
  return registry && registry->GetDwordValue(u"Software\\ZIB Networks\\Zib", u"LogLevel", value)
             ? static_cast<std::int32_t>(value)
             : LOG_ERROR;
}

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
    threshold = StoredThreshold();
    // A stored -1 keeps the logger unread, so the value is read again.
    threshold_.store(threshold, std::memory_order_relaxed);
  }
  return level <= threshold;
}

std::int32_t CBBLog::RereadThreshold() {
  return threshold_.exchange(StoredThreshold(), std::memory_order_relaxed);
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
  processName_ = kiv::RunningProgramBaseName();
  const kiv::LogDestination destination = kiv::GetLogDestination();
  if (destination.kind == kiv::LogDestination::Kind::kStandardError) {
    mainSink_ = kiv::MakeStandardErrorSink();
  } else if (!destination.filePath.empty()) {
    mainSink_ = kiv::MakeFileSink(destination.filePath, showPid_);
  }
  // Without a data folder there is no error log, nor a main file by default.
  if (const std::optional<std::string> dataFolder = kiv::LogDataFolder()) {
    const std::string zibFolder = *dataFolder + "/ZibNetworks";
    const std::string logsFolder = zibFolder + "/Logs";
    // Failures show up as files that cannot be opened.
    ::mkdir(zibFolder.c_str(), 0777);
    ::mkdir(logsFolder.c_str(), 0777);
    if (!mainSink_) {
      const std::string mainName =
          fileName_.empty() ? processName_ + ".log" : kiv::ToUtf8(fileName_);
      mainSink_ = kiv::MakeFileSink(logsFolder + "/" + mainName, showPid_);
    }
    errorLog_.Open(logsFolder + "/ZibErrors.log");
    errorReady_ = true;
  }
  mainReady_ = mainSink_ != nullptr;
  if (!mainReady_) {
    // Nowhere to write the main lines: no writer thread.
    initialized_.store(true, std::memory_order_release);
    return;
  }
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
  std::string text = level == LOG_FATAL ? processName_ + " - " : std::string();
  text += kiv::ToUtf8(message);
  if (mainReady_) Queue(mainSink_->Line(time, level, text));
  if (level == LOG_FATAL) {
    WriteErrorLog(kiv::FormatLogPrefix(time, level, showPid_, pid_) + text + '\n');
  }
}

void CBBLog::Queue(std::string line) {
  if (!writerThread_) {
    PScopedLock lock(&initLock_);
    mainSink_->Write(line);
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
          mainSink_->Write(batch.front());
        } catch (const std::exception&) {
          // Out of memory while rotating: the line is lost, the thread goes on.
        }
      }
    }
    if (stopping_) return nullptr;
  }
}

#include "support/log/log.h"

#include <boost/format.hpp>
#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <cstdarg>

#include "support/threads/mutex.h"

namespace {

// An unsynchronised weak_ptr read racing a write is undefined behaviour in
// C++, so the reference has a lock of its own, held only to copy it.
struct GlobalLoggerSlot {
  PMutex lock;
  boost::weak_ptr<CBBLog> logger;
};

GlobalLoggerSlot& Slot() {
  // Never destroyed: destructors of other statics and late threads may log.
  static GlobalLoggerSlot* const slot = new GlobalLoggerSlot;
  return *slot;
}

// The logger when a message of level would pass its threshold (or the
// threshold is still unread), else empty.
boost::shared_ptr<CBBLog> LoggerFor(int level) {
  boost::shared_ptr<CBBLog> logger = GetGlobalLogger();
  if (logger) {
    const std::int32_t threshold = logger->Threshold();
    if (threshold != -1 && threshold < level) logger.reset();
  }
  return logger;
}

void VLogAt(int level, const char16_t* format, va_list arguments) {
  if (const boost::shared_ptr<CBBLog> logger = LoggerFor(level)) {
    logger->VLog(format, arguments, level);
  }
}

void LogAt(int level, boost::wformat& format) {
  if (const boost::shared_ptr<CBBLog> logger = LoggerFor(level)) logger->Log(format, level);
}

}  // namespace

boost::shared_ptr<CBBLog> GetGlobalLogger() {
  GlobalLoggerSlot& slot = Slot();
  PScopedLock lock(&slot.lock);
  return slot.logger.lock();
}

void SetGlobalLogger(boost::shared_ptr<CBBLog> logger) {
  GlobalLoggerSlot& slot = Slot();
  PScopedLock lock(&slot.lock);
  slot.logger = logger;
}

boost::shared_ptr<CBBLog> InitLogger() {
  GlobalLoggerSlot& slot = Slot();
  PScopedLock lock(&slot.lock);
  if (boost::shared_ptr<CBBLog> existing = slot.logger.lock()) return existing;
  boost::shared_ptr<CBBLog> logger = boost::make_shared<CBBLog>(u"kiv.log", false);
  slot.logger = logger;
  return logger;
}

#define KIV_DEFINE_LOG_FUNCTIONS(name, level) \
  void name(const char16_t* format, ...) {    \
    va_list arguments;                        \
    va_start(arguments, format);              \
    VLogAt(level, format, arguments);         \
    va_end(arguments);                        \
  }                                           \
  void name(boost::wformat format) {          \
    LogAt(level, format);                     \
  }

KIV_DEFINE_LOG_FUNCTIONS(LogDebug, LOG_DEBUG)
KIV_DEFINE_LOG_FUNCTIONS(LogInfo, LOG_INFO)
KIV_DEFINE_LOG_FUNCTIONS(LogWarn, LOG_WARN)
KIV_DEFINE_LOG_FUNCTIONS(LogError, LOG_ERROR)
KIV_DEFINE_LOG_FUNCTIONS(LogFatal, LOG_FATAL)

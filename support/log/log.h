// Logging entry points for the whole library: one free function per level,
// written through the process-wide logger, and that logger's weak reference.
// Any thread may call them; with no live logger they do nothing. They never
// report failures. Formats follow kiv::WideFormatV: %s takes UTF-16 text.
#pragma once

#include <boost/format/format_fwd.hpp>
#include <boost/shared_ptr.hpp>

#include "support/log/cbblog.h"

void LogDebug(const char16_t* format, ...);
void LogInfo(const char16_t* format, ...);
void LogWarn(const char16_t* format, ...);
void LogError(const char16_t* format, ...);
void LogFatal(const char16_t* format, ...);

// Format-object forms (wchar_t, converted to UTF-16; see CBBLog::Log).
void LogDebug(boost::wformat format);
void LogInfo(boost::wformat format);
void LogWarn(boost::wformat format);
void LogError(boost::wformat format);
void LogFatal(boost::wformat format);

// The process-wide logger, or an empty pointer when none was set or it has
// been destroyed. The process holds it weakly: it lives while some owner
// keeps a pointer from InitLogger.
boost::shared_ptr<CBBLog> GetGlobalLogger();
void SetGlobalLogger(boost::shared_ptr<CBBLog> logger);

// The creation path of KivSatellite::initLogger, which calls this: the
// process-wide logger if one lives, otherwise a new CBBLog("kiv.log",
// without process id) made the process-wide one. The caller keeps the result
// for as long as the library should log. Check and creation are one step, so
// two threads never create two loggers.
boost::shared_ptr<CBBLog> InitLogger();

#include "tools/ZibCrashReporter/report.h"

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/crash/fault_guard.h"
#include "support/log/cbblog.h"
#include "support/log/log_line.h"

namespace kiv::reporter {
namespace {

std::string Hex(std::uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), "0x%016" PRIxPTR, value);
  return text;
}

// The shared error log is written directly: the reporter's own lines are
// ERROR lines, so the crash keeps exactly one FATAL line there.
void WriteErrorLine(const std::string& message) {
  CBBLog logger(u"ZibCrashReporter.log", false);
  logger.WriteErrorLog(FormatLogPrefix(LocalLogTime(), LOG_ERROR, false, 0) +
                       "ZibCrashReporter - " + message + "\n");
}

bool WriteWhole(const std::string& path, const std::string& text) {
  // Written aside and renamed, so a reader never sees half a report.
  const std::string partial = path + ".part";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) return false;
  }
  std::error_code error;
  std::filesystem::rename(partial, path, error);
  if (error) std::filesystem::remove(partial, error);
  return !error;
}

}  // namespace

std::string ReportPathFor(const std::string& dumpPath) {
  constexpr std::string_view kDump = ".dmp";
  if (dumpPath.size() > kDump.size() && dumpPath.ends_with(kDump)) {
    return dumpPath.substr(0, dumpPath.size() - kDump.size()) + ".txt";
  }
  return dumpPath + ".txt";
}

std::string FormatReport(const std::string& dumpPath, const DumpContents& dump,
                         const std::vector<FrameName>& frames) {
  std::ostringstream text;
  text << "Crash report\n"
       << "application: " << dump.application << "\n"
       << "dump: " << dumpPath << "\n"
       << "process: " << dump.process << "  thread: " << dump.thread << "\n"
       << "signal: " << dump.signal << " (" << FaultSignalName(dump.signal)
       << ")  code: " << dump.code << "  address: " << Hex(dump.address) << "\n\n"
       << "frames:\n";
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const FrameName& frame = frames[i];
    text << "#" << i << "  " << Hex(frame.address) << "  " << frame.function << "  at "
         << frame.location;
    if (!frame.module.empty())
      text << "  (" << frame.module << " " << Hex(frame.moduleAddress) << ")";
    text << "\n";
  }
  return text.str();
}

int ReportCrash(const std::string& dumpPath, std::chrono::steady_clock::time_point deadline) {
  std::ifstream in(dumpPath, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  if (!in) {
    WriteErrorLine("cannot read the dump " + dumpPath);
    return 1;
  }
  const std::optional<DumpContents> dump = ParseDump(content.str());
  if (!dump) {
    WriteErrorLine("not a crash dump: " + dumpPath);
    return 1;
  }
  const std::string reportPath = ReportPathFor(dumpPath);
  const std::vector<FrameName> frames = SymbolizeFrames(*dump, deadline);
  if (!WriteWhole(reportPath, FormatReport(dumpPath, *dump, frames))) {
    WriteErrorLine("cannot write the crash report " + reportPath);
    return 1;
  }
  const std::string top = frames.empty() ? "??" : frames[0].function;
  WriteErrorLine("crash of " + dump->application + " (" + FaultSignalName(dump->signal) + " in " +
                 top + ") reported in " + reportPath);
  return 0;
}

}  // namespace kiv::reporter

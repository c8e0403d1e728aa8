#include "support/crash/crash_handler.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <stdexcept>

#include "kiv/utf8.h"
#include "support/crash/crash_guard.h"
#include "support/crash/dump_file.h"
#include "support/crash/fault_test_util.h"
#include "support/log/log.h"
#include "support/log/log_test_util.h"
#include "testing/wait.h"

namespace kiv {
namespace {

using logtest::FileText;
namespace fs = std::filesystem;

constexpr int kReporterDeadlineMs = 30000;

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

class CrashHandlerTest : public ::testing::Test {
 protected:
  CrashHandlerTest() : sandbox_(LOG_WARN), logger_(InitLogger()) {}

  std::string Logs(const std::string& name = "") const {
    return sandbox_.DataFolder() + "/ZibNetworks/Logs/" + name;
  }
  std::set<std::string> Dumps() const {
    std::set<std::string> dumps;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(Logs(), error)) {
      if (entry.path().extension() == ".dmp") dumps.insert(entry.path().string());
    }
    return dumps;
  }
  // kiv.log is written by the logger's own thread; the reporter runs apart.
  static bool Eventually(const std::string& file, const std::string& part, std::size_t times) {
    return testing::WaitUntil([&] { return CountOf(FileText(file), part) >= times; },
                              kReporterDeadlineMs);
  }

  logtest::LogSandbox sandbox_;
  boost::shared_ptr<CBBLog> logger_;
};

TEST_F(CrashHandlerTest, DumpsGoToTheLogsFolderElseTheTemporaryOne) {
  CrashHandler handler(u"", false);
  EXPECT_EQ(handler.AppName(), u"Application");
  EXPECT_EQ(ToUtf8(handler.DumpFolder()), Logs());
  const fs::path self = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(ToUtf8(handler.ReporterPath()), (self.parent_path() / "ZibCrashReporter").string());
  logtest::WriteFileOfSize(sandbox_.Root() + "/file", 1);
  sandbox_.SetDataFolder(sandbox_.Root() + "/file/data");  // cannot exist
  ::setenv("TMPDIR", sandbox_.Root().c_str(), 1);
  CrashHandler fallback(u"x", false);
  ::unsetenv("TMPDIR");
  EXPECT_EQ(ToUtf8(fallback.DumpFolder()), sandbox_.Root() + "/");
}

TEST_F(CrashHandlerTest, InvalidParameterIsLoggedOnlyWhileAHandlerLives) {
  CrashHandler::RouteInvalidParameter(u"p != 0", u"before", u"f.c", 1);
  {
    CrashHandler handler(u"x", false);
    CrashHandler::RouteInvalidParameter(u"p != 0", u"memcpy", u"copy.c", 42);
  }
  CrashHandler::RouteInvalidParameter(nullptr, u"after", nullptr, 2);
  logger_.reset();  // flushes
  EXPECT_EQ(CountOf(FileText(Logs("kiv.log")),
                    "[WARN ] - Invalid parameter detected in function memcpy. File: copy.c Line: "
                    "42. Expression: p != 0\n"),
            1u);
  EXPECT_EQ(CountOf(FileText(Logs("kiv.log")), "Invalid parameter"), 1u);
}

// Each fault kind, end to end: the result code, a dump, a FATAL line in both
// logs, the reporter's report and its ERROR line, and service afterwards.
TEST_F(CrashHandlerTest, FaultingHandlerIsReportedAndTheNextCallServed) {
  EXPECT_EQ(CallGuarded([] { return 7; }), 7);
  EXPECT_THROW(CallGuarded([]() -> int { throw std::runtime_error("handler"); }),
               std::runtime_error);
  EXPECT_TRUE(Dumps().empty());
  std::size_t crashes = 0;
  for (const auto& kind : crashtest::kFaultKinds) {
    SCOPED_TRACE(kind.name);
    const std::set<std::string> before = Dumps();
    EXPECT_EQ(CallGuarded([&] { kind.raise(); }), kGuardCrashResult);
    EXPECT_EQ(CallGuarded([] { return 5; }), 5);
    const std::set<std::string> after = Dumps();
    ASSERT_EQ(after.size(), ++crashes);
    std::string dump;
    for (const std::string& path : after) dump = before.count(path) ? dump : path;
    const std::optional<DumpContents> contents = ParseDump(FileText(dump));
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->application, "Kiv.dll");
    EXPECT_EQ(contents->signal, kind.signal);
    EXPECT_FALSE(contents->frames.empty());
    const std::string fatal = "crash of Kiv.dll. minidump generated as " + dump + " (";
    EXPECT_EQ(CountOf(FileText(Logs("ZibErrors.log")), fatal), 1u);
    EXPECT_TRUE(Eventually(Logs("kiv.log"), fatal, 1));
    const std::string report = dump.substr(0, dump.size() - 4) + ".txt";
    EXPECT_TRUE(Eventually(report, FaultSignalName(kind.signal), 1)) << "no report for " << dump;
  }
  EXPECT_TRUE(Eventually(Logs("ZibErrors.log"), "ZibCrashReporter - crash of Kiv.dll", crashes));
  EXPECT_EQ(CountOf(FileText(Logs("ZibErrors.log")), "[FATAL]"), crashes);
}

}  // namespace
}  // namespace kiv

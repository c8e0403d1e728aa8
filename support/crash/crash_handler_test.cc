#include "support/crash/crash_handler.h"

#include <gtest/gtest.h>

#include <filesystem>
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

class CrashHandlerTest : public ::testing::Test {
 protected:
  CrashHandlerTest() : sandbox_(LOG_WARN), logger_(InitLogger()) {}

  std::string Logs(const std::string& name = "") const { return sandbox_.LogPath(name); }
  // kiv.log is written by the logger's own thread; the reporter runs apart.
  static bool Eventually(const std::string& file, const std::string& part) {
    return testing::WaitUntil([&] { return FileText(file).find(part) != std::string::npos; },
                              30000);
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
  const std::string text = FileText(Logs("kiv.log"));
  EXPECT_EQ(text.substr(text.find(" [")),
            " [WARN ] - Invalid parameter detected in function memcpy. File: copy.c Line: 42. "
            "Expression: p != 0\n");
}

// End to end (the fault kinds are the guard's tests'): the result code, a
// dump, a FATAL line in both logs, the reporter's report, and service after.
TEST_F(CrashHandlerTest, FaultingHandlerIsReportedAndTheNextCallServed) {
  EXPECT_EQ(CallGuarded([] { return 7; }), 7);
  EXPECT_THROW(CallGuarded([]() -> int { throw std::runtime_error("handler"); }),
               std::runtime_error);
  EXPECT_EQ(CallGuarded([] { crashtest::DereferenceNull(); }), kGuardCrashResult);
  EXPECT_EQ(CallGuarded([] { return 5; }), 5);
  std::string dump;
  for (const auto& entry : fs::directory_iterator(Logs())) {
    if (entry.path().extension() == ".dmp") dump += entry.path().string();
  }
  const std::optional<DumpContents> contents = ParseDump(FileText(dump));
  ASSERT_TRUE(contents) << dump;
  EXPECT_EQ(contents->application, "Kiv.dll");
  EXPECT_EQ(contents->signal, SIGSEGV);
  EXPECT_FALSE(contents->frames.empty());
  const std::string fatal =
      "[FATAL] - crash_test - crash of Kiv.dll. minidump generated as " + dump + " (";
  const std::string errors = FileText(Logs("ZibErrors.log"));
  EXPECT_NE(errors.find(fatal), std::string::npos) << errors;
  EXPECT_EQ(errors.find("[FATAL]"), errors.rfind("[FATAL]"));
  EXPECT_TRUE(Eventually(Logs("kiv.log"), fatal));
  EXPECT_TRUE(Eventually(dump.substr(0, dump.size() - 4) + ".txt", "SIGSEGV"));
  EXPECT_TRUE(Eventually(Logs("ZibErrors.log"), "ZibCrashReporter - crash of Kiv.dll"));
}

}  // namespace
}  // namespace kiv

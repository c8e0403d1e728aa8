#include "support/crash/crash_handler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kiv/utf8.h"
#include "support/crash/crash_guard.h"
#include "support/crash/dump_file.h"
#include "support/crash/fault_test_util.h"
#include "support/log/log.h"
#include "support/log/log_test_util.h"

namespace kiv {
namespace {

using logtest::FileText;
using logtest::LogSandbox;
namespace fs = std::filesystem;

constexpr auto kReporterDeadline = std::chrono::seconds(30);

std::size_t CountOf(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

template <class Condition>
bool WaitFor(Condition condition, std::chrono::steady_clock::duration timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(
        std::chrono::milliseconds(20));  // polling a file, not a sleep-as-wait
  }
  return true;
}

class CrashHandlerTest : public ::testing::Test {
 protected:
  CrashHandlerTest() : sandbox_(LOG_WARN), logger_(InitLogger()) {}
  ~CrashHandlerTest() override { logger_.reset(); }

  std::string LogsFolder() const { return sandbox_.DataFolder() + "/ZibNetworks/Logs/"; }
  std::vector<std::string> Dumps() const {
    std::vector<std::string> dumps;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(LogsFolder(), error)) {
      if (entry.path().extension() == ".dmp") dumps.push_back(entry.path().string());
    }
    return dumps;
  }
  // kiv.log is written by the logger's own thread.
  bool MainLogHas(const std::string& part, std::size_t times) {
    return WaitFor([&] { return CountOf(FileText(LogsFolder() + "kiv.log"), part) >= times; },
                   std::chrono::seconds(10));
  }
  std::string ReportOf(const std::string& dump) const {
    return dump.substr(0, dump.size() - 4) + ".txt";
  }

  LogSandbox sandbox_;
  boost::shared_ptr<CBBLog> logger_;
};

TEST_F(CrashHandlerTest, FieldsFollowTheRunningProgramAndTheDataFolder) {
  CrashHandler handler(u"", false);
  EXPECT_EQ(handler.AppName(), u"Application");
  EXPECT_EQ(ToUtf8(handler.DumpFolder()), LogsFolder());
  EXPECT_TRUE(fs::is_directory(LogsFolder()));
  const fs::path self = fs::read_symlink("/proc/self/exe");
  EXPECT_EQ(ToUtf8(handler.ReporterPath()), (self.parent_path() / "ZibCrashReporter").string());

  // A data folder that cannot exist falls back to the temporary folder.
  const std::string blocker = sandbox_.Root() + "/file";
  logtest::WriteFileOfSize(blocker, 1);
  sandbox_.SetDataFolder(blocker + "/data");
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
  const std::string line =
      "[WARN ] - Invalid parameter detected in function memcpy. File: copy.c Line: 42. "
      "Expression: p != 0";
  ASSERT_TRUE(MainLogHas(line, 1));
  logger_.reset();  // flushes
  const std::string log = FileText(LogsFolder() + "kiv.log");
  EXPECT_EQ(CountOf(log, "Invalid parameter"), 1u) << log;
}

TEST_F(CrashHandlerTest, HandlerThatReturnsIsServedAndLeavesNoDump) {
  EXPECT_EQ(CallGuarded([] { return 7; }), 7);
  int calls = 0;
  EXPECT_EQ(CallGuarded([&] { ++calls; }), 0);
  EXPECT_EQ(calls, 1);
  EXPECT_THROW(CallGuarded([]() -> int { throw std::runtime_error("handler"); }),
               std::runtime_error);
  EXPECT_TRUE(Dumps().empty());
  EXPECT_EQ(FileText(LogsFolder() + "ZibErrors.log"), "<missing>");
}

// One guarded crash, end to end: result code, dump, both FATAL lines, the
// reporter's report and its line, and normal service afterwards.
TEST_F(CrashHandlerTest, FaultingHandlerIsReportedAndTheNextCallServed) {
  std::size_t crashes = 0;
  for (const auto& kind : crashtest::kFaultKinds) {
    for (int round = 0; round < 3; ++round) {
      SCOPED_TRACE(std::string(kind.name) + " round " + std::to_string(round));
      const std::vector<std::string> existing = Dumps();
      const std::set<std::string> before(existing.begin(), existing.end());
      EXPECT_EQ(CallGuarded([&]() -> int {
                  kind.raise();
                  return 0;
                }),
                kGuardCrashResult);
      ++crashes;
      std::string dump;
      for (const std::string& path : Dumps()) {
        if (before.count(path) == 0) dump = path;
      }
      ASSERT_FALSE(dump.empty());
      EXPECT_EQ(Dumps().size(), crashes);
      const std::optional<DumpContents> contents = ParseDump(FileText(dump));
      ASSERT_TRUE(contents);
      EXPECT_EQ(contents->application, "Kiv.dll");
      EXPECT_EQ(contents->signal, kind.signal);
      EXPECT_EQ(contents->process, ::getpid());
      EXPECT_FALSE(contents->frames.empty());

      const std::string fatal = "crash of Kiv.dll. minidump generated as " + dump + " (";
      EXPECT_EQ(CountOf(FileText(LogsFolder() + "ZibErrors.log"), fatal), 1u);
      EXPECT_TRUE(MainLogHas(fatal, 1));
      EXPECT_TRUE(WaitFor([&] { return fs::exists(ReportOf(dump)); }, kReporterDeadline))
          << "no report for " << dump;
      EXPECT_NE(FileText(ReportOf(dump)).find(FaultSignalName(kind.signal)), std::string::npos);

      EXPECT_EQ(CallGuarded([] { return 5; }), 5);
    }
  }
  logger_.reset();
  const std::string errors = FileText(LogsFolder() + "ZibErrors.log");
  EXPECT_EQ(CountOf(errors, "[FATAL]"), crashes);
  EXPECT_EQ(CountOf(FileText(LogsFolder() + "kiv.log"), "[FATAL]"), crashes);
  // The reporters' own lines are ERROR lines, one a report.
  EXPECT_TRUE(WaitFor(
      [&] {
        return CountOf(FileText(LogsFolder() + "ZibErrors.log"),
                       "ZibCrashReporter - crash of Kiv.dll") == crashes;
      },
      kReporterDeadline));
}

TEST_F(CrashHandlerTest, FourThreadsFaultingAtOnceAreEachReported) {
  constexpr int kThreads = 4;
  std::vector<std::int32_t> results(kThreads, 0);
  std::vector<std::int32_t> after(kThreads, 0);
  {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        const auto& kind = crashtest::kFaultKinds[i % 3];
        results[i] = CallGuarded([&]() -> int {
          kind.raise();
          return 0;
        });
        after[i] = CallGuarded([i] { return i + 1; });
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(results[i], kGuardCrashResult);
    EXPECT_EQ(after[i], i + 1);
  }
  const std::vector<std::string> dumps = Dumps();
  ASSERT_EQ(dumps.size(), static_cast<std::size_t>(kThreads));
  std::set<pid_t> threadsSeen;
  for (const std::string& dump : dumps) {
    const std::optional<DumpContents> contents = ParseDump(FileText(dump));
    ASSERT_TRUE(contents);
    threadsSeen.insert(contents->thread);
    EXPECT_TRUE(WaitFor([&] { return fs::exists(ReportOf(dump)); }, kReporterDeadline)) << dump;
  }
  EXPECT_EQ(threadsSeen.size(), static_cast<std::size_t>(kThreads));
  EXPECT_EQ(CountOf(FileText(LogsFolder() + "ZibErrors.log"), "[FATAL]"),
            static_cast<std::size_t>(kThreads));
  EXPECT_TRUE(MainLogHas("[FATAL]", kThreads));
}

}  // namespace
}  // namespace kiv

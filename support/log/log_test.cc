#include "support/log/log.h"

#include <gtest/gtest.h>

#include <boost/format.hpp>
#include <boost/make_shared.hpp>
#include <memory>
#include <vector>

#include "support/log/log_paths.h"
#include "support/log/log_test_util.h"
#include "testing/wait.h"

namespace kiv::logtest {
namespace {

TEST(LogFunctions, EachWritesAtItsLevelWhileALoggerLives) {
  LogSandbox sandbox(3);
  LogFatal(u"nobody listens %d", 1);
  LogError(boost::wformat(L"nobody"));
  EXPECT_FALSE(std::filesystem::exists(sandbox.DataFolder()));

  auto logger = boost::make_shared<CBBLog>(u"kiv.log", false, FixedTime);
  SetGlobalLogger(logger);
  LogDebug(u"d");
  LogInfo(u"i%s", u"3");
  LogWarn(u"w");
  LogError(u"e");
  LogFatal(u"f");
  LogDebug(boost::wformat(L"d"));
  LogInfo(boost::wformat(L"%1%-%2%") % 4 % L"i");
  LogWarn(boost::wformat(L"w"));
  LogError(boost::wformat(L"e"));
  LogFatal(boost::wformat(L"f%1%") % 0);
  logger.reset();  // held weakly: this was the last owner
  EXPECT_FALSE(GetGlobalLogger());
  LogFatal(u"gone");
  EXPECT_EQ(FileText(sandbox.LogPath("kiv.log")),
            Line("INFO ", "i3") + Line("WARN ", "w") + Line("ERROR", "e") +
                Line("FATAL", "log_test - f") + Line("INFO ", "4-i") + Line("WARN ", "w") +
                Line("ERROR", "e") + Line("FATAL", "log_test - f0"));
}

TEST(InitLogger, ConcurrentCallersShareOneLoggerWritingKivLog) {
  LogSandbox sandbox(std::nullopt);
  constexpr int kThreads = 6;
  std::vector<boost::shared_ptr<CBBLog>> loggers(kThreads);
  {
    std::vector<std::unique_ptr<kiv::testing::TestThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.push_back(
          std::make_unique<kiv::testing::TestThread>([&loggers, t] { loggers[t] = InitLogger(); }));
    }
  }
  ASSERT_TRUE(loggers[0]);
  for (const auto& logger : loggers) EXPECT_EQ(logger, loggers[0]);
  EXPECT_EQ(GetGlobalLogger(), loggers[0]);
  LogError(u"through %s", u"initLogger");
  loggers.clear();
  EXPECT_FALSE(GetGlobalLogger());
  const std::string text = FileText(sandbox.LogPath("kiv.log"));
  ASSERT_GT(text.size(), 23u) << text;  // after the real clock's time stamp
  EXPECT_EQ(text.substr(23), " [ERROR] - through initLogger\n") << text;
}

TEST(LogLine, WideTextBecomesUtf16WithSurrogatePairs) {
  const wchar_t text[] = {L'a', 0xFFFF, 0x10000, 0x10FFFF, 0x110000, 0xD800, 0};
  EXPECT_EQ(WideToUtf16(text), u"a\uffff\U00010000\U0010FFFF\uFFFD\xD800");
  EXPECT_EQ(LogLevelName(5), nullptr);  // the line prefixes are pinned by the CBBLog tests
  EXPECT_EQ(LogLevelName(-1), nullptr);
}

TEST(LogPaths, BaseNameIsTheFileNameCutAtItsFirstDot) {
  EXPECT_EQ(ProgramBaseName("/opt/a.b/my.tool.exe"), "my");
  EXPECT_EQ(ProgramBaseName("plain"), "plain");
  EXPECT_EQ(RunningProgramBaseName(), "log_test");
}

}  // namespace
}  // namespace kiv::logtest

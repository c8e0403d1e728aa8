#include "support/log/log.h"

#include <gtest/gtest.h>

#include <boost/format.hpp>
#include <boost/make_shared.hpp>
#include <memory>
#include <regex>
#include <vector>

#include "support/log/log_test_util.h"
#include "support/threads/test_util.h"

namespace kiv::logtest {
namespace {

TEST(LogFunctions, DoNothingWithoutALogger) {
  LogSandbox sandbox(4);
  ASSERT_FALSE(GetGlobalLogger());
  LogFatal(u"nobody listens %d", 1);
  LogError(boost::wformat(L"nobody"));
  EXPECT_FALSE(PathExists(sandbox.DataFolder()));
}

TEST(LogFunctions, EachWritesAtItsLevelAndSkipsThoseAboveTheThreshold) {
  LogSandbox sandbox(4);
  auto logger = boost::make_shared<CBBLog>(u"kiv.log", false, FixedTime);
  SetGlobalLogger(logger);
  LogDebug(u"d%d", 4);
  LogInfo(u"i%s", u"3");
  LogWarn(u"w");
  LogError(u"e");
  LogFatal(u"f");
  LogDebug(boost::wformat(L"%1%-%2%") % 4 % L"d");
  LogInfo(boost::wformat(L"i"));
  LogWarn(boost::wformat(L"w"));
  LogError(boost::wformat(L"e"));
  LogFatal(boost::wformat(L"f%1%") % 0);
  LogInfo(boost::wformat(L"%1% %2%") % 1);  // missing argument: dropped, no throw
  logger.reset();
  EXPECT_FALSE(GetGlobalLogger());
  EXPECT_EQ(FileText(sandbox.LogPath("kiv.log")),
            Line("DEBUG", "d4") + Line("INFO ", "i3") + Line("WARN ", "w") + Line("ERROR", "e") +
                Line("FATAL", "log_test - f") + Line("DEBUG", "4-d") + Line("INFO ", "i") +
                Line("WARN ", "w") + Line("ERROR", "e") + Line("FATAL", "log_test - f0"));

  sandbox.SetLogLevel(2);
  logger = boost::make_shared<CBBLog>(u"warn.log", false, FixedTime);
  SetGlobalLogger(logger);
  LogInfo(u"no");
  LogDebug(boost::wformat(L"no"));
  LogWarn(u"yes");
  LogInfo(boost::wformat(L"no"));
  logger.reset();
  EXPECT_EQ(FileText(sandbox.LogPath("warn.log")), Line("WARN ", "yes"));
}

TEST(InitLogger, SharesOneLoggerWhileHeldAndWritesKivLog) {
  LogSandbox sandbox(std::nullopt);
  boost::shared_ptr<CBBLog> first = InitLogger();
  ASSERT_TRUE(first);
  EXPECT_EQ(InitLogger(), first);
  EXPECT_EQ(GetGlobalLogger(), first);
  LogError(u"through %s", u"initLogger");
  first.reset();
  // Held weakly: the last owner's release destroyed it.
  EXPECT_FALSE(GetGlobalLogger());
  const std::string text = FileText(sandbox.LogPath("kiv.log"));
  EXPECT_TRUE(
      std::regex_match(text, std::regex("\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} "
                                        "\\[ERROR\\] - through initLogger\n")))
      << text;
}

TEST(InitLogger, ConcurrentCallersGetTheSameLogger) {
  LogSandbox sandbox(std::nullopt);
  constexpr int kThreads = 8;
  std::vector<boost::shared_ptr<CBBLog>> loggers(kThreads);
  {
    std::vector<std::unique_ptr<TestThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.push_back(std::make_unique<TestThread>([&loggers, t] { loggers[t] = InitLogger(); }));
    }
  }
  ASSERT_TRUE(loggers[0]);
  for (const auto& logger : loggers) EXPECT_EQ(logger, loggers[0]);
}

}  // namespace
}  // namespace kiv::logtest

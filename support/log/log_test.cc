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

TEST(LogLine, WideTextBecomesUtf16WithSurrogatePairs) {
  const wchar_t text[] = {L'a', 0xFFFF, 0x10000, 0x10FFFF, 0x110000, 0xD800, 0};
  EXPECT_EQ(WideToUtf16(text), u"a\uffff\U00010000\U0010FFFF\uFFFD\xD800");
  EXPECT_EQ(LogLevelName(5), nullptr);  // the line prefixes are pinned by the CBBLog tests
  EXPECT_EQ(LogLevelName(-1), nullptr);
}

}  // namespace
}  // namespace kiv::logtest

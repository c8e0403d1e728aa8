#include "support/log/log_line.h"

#include <gtest/gtest.h>

#include "support/log/log_paths.h"

namespace kiv {
namespace {

TEST(LogLine, PrefixPadsEveryFieldAndTheLevelToFiveCharacters) {
  const LogTime time{987, 3, 4, 5, 6, 7, 8};
  const char* const expected[] = {"[FATAL]", "[ERROR]", "[WARN ]", "[INFO ]", "[DEBUG]"};
  for (int level = 0; level <= 4; ++level) {
    EXPECT_EQ(FormatLogPrefix(time, level, false, 0),
              std::string("0987/03/04 05:06:07.008 ") + expected[level] + " - ");
  }
  EXPECT_EQ(FormatLogPrefix(time, 2, true, 4294967295u),
            "0987/03/04 05:06:07.008 [WARN ] 4294967295 - ");
}

TEST(LogLine, WideTextBecomesUtf16WithSurrogatePairs) {
  EXPECT_EQ(WideToUtf16(L"a\u00e9\uffff\U0001F600\U0010FFFF"),
            u"a\u00e9\uffff\U0001F600\U0010FFFF");
  const wchar_t outOfRange[] = {static_cast<wchar_t>(0x110000), L'x', 0};
  EXPECT_EQ(WideToUtf16(outOfRange), u"\uFFFDx");
}

TEST(LogPaths, BaseNameIsTheFileNameCutAtItsFirstDot) {
  EXPECT_EQ(ProgramBaseName("/opt/bin/my.tool.exe"), "my");
  EXPECT_EQ(ProgramBaseName("/opt/a.b/mytool"), "mytool");
  EXPECT_EQ(ProgramBaseName("plain"), "plain");
  EXPECT_EQ(RunningProgramBaseName(), "log_test");
}

}  // namespace
}  // namespace kiv

#include "support/text/wide_format.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace kiv {
namespace {

TEST(WideFormat, WideStringsHonourWidthPrecisionAndJustification) {
  EXPECT_EQ(WideFormat(u"[%-5.5s]", u"INFO"), u"[INFO ]");
  EXPECT_EQ(WideFormat(u"[%-5.5s]", u"ERRORS"), u"[ERROR]");
  EXPECT_EQ(WideFormat(u"[%5s|%ls|%ws]", u"ab", u"\u00e9", u"\U0001F600"),
            u"[   ab|\u00e9|\U0001F600]");
  // Width and precision count UTF-16 units, so a surrogate pair counts two.
  EXPECT_EQ(WideFormat(u"[%3s][%.1s]", u"\U0001F600", u"\U0001F600x"), u"[ \U0001F600][\xD83D]");
  EXPECT_EQ(WideFormat(u"%s:%hu", u"host", 29831), u"host:29831");
  EXPECT_EQ(WideFormat(u"[%05s]", u"ab"), u"[000ab]");
}

TEST(WideFormat, NullUnterminatedAndNarrowTextAndCharacters) {
  // Precision stops reading text that has no terminator.
  const char16_t wide[3] = {u'a', u'b', u'c'};
  const char narrow[3] = {'x', 'y', 'z'};
  EXPECT_EQ(WideFormat(u"%.3s/%.3hs", wide, narrow), u"abc/xyz");
  const char16_t* nullWide = nullptr;
  const char* nullNarrow = nullptr;
  EXPECT_EQ(
      WideFormat(u"%s %hs %S [%8s] [%.3s]", nullWide, nullNarrow, nullNarrow, nullWide, nullWide),
      u"(null) (null) (null) [  (null)] [(nu]");
  // Narrow text is UTF-8; width and precision count converted units, and
  // what converts before a bad byte is kept.
  EXPECT_EQ(WideFormat(u"%hs|%S|%lS", "caf\xC3\xA9", "\xE2\x82\xAC", u"w"), u"caf\u00e9|\u20ac|w");
  EXPECT_EQ(WideFormat(u"[%-5.4hs]", "\xC3\xA9t\xC3\xA9s!"), u"[\u00e9t\u00e9s ]");
  EXPECT_EQ(WideFormat(u"[%hs]", "ok\xFFlost"), u"[ok]");
  EXPECT_EQ(WideFormat(u"%c%lc%wc%hc%C|%3c", u'\u00e9', u'b', u'c', 'd', 'e', u'f'),
            u"\u00e9bcde|  f");
}

TEST(WideFormat, IntegerSizesFollowWindows) {
  // 'l' is 32 bits: a 64-bit slot holding garbage above bit 31 must not leak.
  EXPECT_EQ(WideFormat(u"%ld %lu %d", int64_t{0x100000005}, int64_t{-1}, 7), u"5 4294967295 7");
  EXPECT_EQ(WideFormat(u"%x %X %hx %hhx %o", -1, 255, -1, -1, 8), u"ffffffff FF ffff ff 10");
  EXPECT_EQ(WideFormat(u"%hd %hu %hhd", 70000, -1, 200), u"4464 65535 -56");
  EXPECT_EQ(WideFormat(u"%d (0x%x)", -2147024809, -2147024809), u"-2147024809 (0x80070057)");
  EXPECT_EQ(WideFormat(u"%lld %I64d %I64u %llx", INT64_MIN, int64_t{-2}, uint64_t{UINT64_MAX},
                       int64_t{-1}),
            u"-9223372036854775808 -2 18446744073709551615 ffffffffffffffff");
  EXPECT_EQ(WideFormat(u"%I32d %Iu %zu %jd %td", -3, size_t{1} << 40, size_t{5}, intmax_t{-6},
                       ptrdiff_t{-7}),
            u"-3 1099511627776 5 -6 -7");
  EXPECT_EQ(WideFormat(u"[%+d|% d|%05d|%-4d|%.3d|%#x]", 1, 2, -3, 4, 5, 255),
            u"[+1| 2|-0003|4   |005|0xff]");
}

TEST(WideFormat, Floats) {
  EXPECT_EQ(WideFormat(u"%f %.2f %e %G", 1.5, 2.346, 1234.5, 0.0001),
            u"1.500000 2.35 1.234500e+03 0.0001");
  EXPECT_EQ(WideFormat(u"%8.3f|%-8.1f|%Lf", -1.0, 2.0, 3.25L), u"  -1.000|2.0     |3.250000");
  // Wider than any fixed scratch buffer.
  EXPECT_EQ(WideFormat(u"%.0f", 1e300).size(), 301u);
}

TEST(WideFormat, StarArgumentsPercentPointerAndUnknownConversions) {
  EXPECT_EQ(WideFormat(u"[%*d|%-*d|%*d|%.*s|%.*f|%.*s]", 4, 1, 3, 2, -3, 3, 2, u"abc", 1, 2.26, -1,
                       u"all"),
            u"[   1|2  |3  |ab|2.3|all]");
  EXPECT_EQ(WideFormat(u"100%% %d", 5), u"100% 5");
  // %n writes nothing and takes no argument, so the next one lines up.
  EXPECT_EQ(WideFormat(u"a%nb%d", 9), u"ab9");
  EXPECT_EQ(WideFormat(u"%Y-%d %", 3), u"Y-3 ");
  EXPECT_EQ(WideFormat(u"%p", reinterpret_cast<void*>(0xABC)), u"0000000000000ABC");
  EXPECT_EQ(WideFormat(u"\u00e9%s\u20ac", u"x"), u"\u00e9x\u20ac");
}

TEST(FormatString, WideClearsTargetAndHandlesLongResults) {
  std::u16string target = u"old";
  FormatString(target, u"%s%d", u"kiv.log", 3);
  EXPECT_EQ(target, u"kiv.log3");
  std::u16string longText(300, u'z');
  FormatString(target, u"<%s>%d", longText.c_str(), 42);
  EXPECT_EQ(target, u"<" + longText + u">42");
  FormatString(target, u"");
  EXPECT_TRUE(target.empty());
}

TEST(FormatString, NarrowUsesCRules) {
  std::string target = "old";
  FormatString(target, "%s:%hu %ld", "host", 29831, -5L);
  EXPECT_EQ(target, "host:29831 -5");
  std::string longText(200, 'q');
  FormatString(target, "%s|%05d", longText.c_str(), 7);
  EXPECT_EQ(target, longText + "|00007");
  FormatString(target, "%s", std::string(127, 'a').c_str());  // exactly one short of 128
  EXPECT_EQ(target.size(), 127u);
  FormatString(target, "%s", std::string(128, 'b').c_str());
  EXPECT_EQ(target, std::string(128, 'b'));
}

}  // namespace
}  // namespace kiv

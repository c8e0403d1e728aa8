#include <gtest/gtest.h>

#include <cstdint>

#include "kiv/utf8.h"
#include "support/text/standard_utf8.h"
#include "support/text/wide_format.h"

namespace kiv {
namespace {

// The standard pair: characters past U+FFFF become surrogate pairs, and
// malformed input on either side is refused instead of cut short.
TEST(StandardUtf8, ConvertsEveryLengthBoundaryAndRefusesMalformedText) {
  const std::string bytes =
      "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF\xF0\x90\x80\x80"
      "\xF4\x8F\xBF\xBF";
  const std::u16string units = u"\u007f\u0080\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010FFFF";
  EXPECT_EQ(Utf8ToUtf16(bytes), units);
  EXPECT_EQ(Utf16ToUtf8(units), bytes);
  for (const char* bad : {"\x80", "a\xC3", "\xC3\x28", "\xC0\x80", "\xE0\x9F\xBF",
                          "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xED\xAF\xBF", "\xED\xBF\xBF",
                          "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xF0\x90\x80"}) {
    EXPECT_FALSE(Utf8ToUtf16(bad)) << bad;
  }
  for (const char16_t* bad : {u"\xD800", u"a\xDBFF", u"\xDC00x", u"\xDFFF", u"\xD800\xD800"}) {
    EXPECT_FALSE(Utf16ToUtf8(bad)) << static_cast<int>(bad[0]);
  }
}

// Width and precision count UTF-16 units (a surrogate pair counts two), and
// a precision stops reading text that has no terminator. Narrow text is
// UTF-8, kept up to a bad byte.
TEST(WideFormat, TextHonoursWidthPrecisionAndJustification) {
  EXPECT_EQ(WideFormat(u"[%-5.5s|%-5.5s|%5s|%ls|%ws|%05s]", u"INFO", u"ERRORS", u"ab", u"\u00e9",
                       u"\U0001F600", u"ab"),
            u"[INFO |ERROR|   ab|\u00e9|\U0001F600|000ab]");
  EXPECT_EQ(WideFormat(u"[%3s][%.1s]", u"\U0001F600", u"\U0001F600x"), u"[ \U0001F600][\xD83D]");
  const char16_t wide[3] = {u'a', u'b', u'c'};
  const char narrow[3] = {'x', 'y', 'z'};
  EXPECT_EQ(WideFormat(u"%.3s/%.3hs", wide, narrow), u"abc/xyz");
  const char16_t* nullWide = nullptr;
  const char* nullNarrow = nullptr;
  EXPECT_EQ(
      WideFormat(u"%s %hs %S [%8s] [%.3s]", nullWide, nullNarrow, nullNarrow, nullWide, nullWide),
      u"(null) (null) (null) [  (null)] [(nu]");
  EXPECT_EQ(
      WideFormat(u"%hs|%S|%lS", "caf\xC3\xA9", "\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF", u"w"),
      u"caf\u00e9|\u0080\u07ff\u0800\uffff|w");
  EXPECT_EQ(WideFormat(u"[%-5.4hs|%hs]", "\xC3\xA9t\xC3\xA9s!", "ok\xFFlost"),
            u"[\u00e9t\u00e9s |ok]");
  EXPECT_EQ(WideFormat(u"%c%lc%wc%hc%C|%3c", u'\u00e9', u'b', u'c', 'd', 'e', u'f'),
            u"\u00e9bcde|  f");
}

// 'l' is 32 bits: a 64-bit slot holding garbage above bit 31 must not leak.
TEST(WideFormat, NumbersFollowTheWindowsSizes) {
  EXPECT_EQ(WideFormat(u"%ld %lu %d %hu", int64_t{0x100000005}, int64_t{-1}, 7, 29831),
            u"5 4294967295 7 29831");
  EXPECT_EQ(WideFormat(u"%x %X %hx %hhx %o %hd %hhd", -1, 255, -1, -1, 8, 70000, 200),
            u"ffffffff FF ffff ff 10 4464 -56");
  EXPECT_EQ(WideFormat(u"%lld %I64d %I64u %llx", INT64_MIN, int64_t{-2}, uint64_t{UINT64_MAX},
                       int64_t{-1}),
            u"-9223372036854775808 -2 18446744073709551615 ffffffffffffffff");
  EXPECT_EQ(WideFormat(u"%I32d %Iu %zu %jd %td", -3, size_t{1} << 40, size_t{5}, intmax_t{-6},
                       ptrdiff_t{-7}),
            u"-3 1099511627776 5 -6 -7");
  EXPECT_EQ(WideFormat(u"[%+d|% d|%05d|%-4d|%.3d|%#x]", 1, 2, -3, 4, 5, 255),
            u"[+1| 2|-0003|4   |005|0xff]");
  EXPECT_EQ(WideFormat(u"%.2f %e %G|%8.3f|%-8.1f|%Lf", 2.346, 1234.5, 0.0001, -1.0, 2.0, 3.25L),
            u"2.35 1.234500e+03 0.0001|  -1.000|2.0     |3.250000");
  EXPECT_EQ(WideFormat(u"%.0f", 1e300).size(), 301u);  // wider than any scratch buffer
}

// %n writes nothing and takes no argument, so the next one lines up; an
// unknown conversion prints its character, a trailing '%' nothing.
TEST(WideFormat, StarArgumentsPercentPointerAndUnknownConversions) {
  EXPECT_EQ(WideFormat(u"[%*d|%-*d|%*d|%.*s|%.*f|%.*s]", 4, 1, 3, 2, -3, 3, 2, u"abc", 1, 2.26, -1,
                       u"all"),
            u"[   1|2  |3  |ab|2.3|all]");
  EXPECT_EQ(WideFormat(u"\u00e9100%% a%nb%d %Y %p %", 9, reinterpret_cast<void*>(0xABC)),
            u"\u00e9100% ab9 Y 0000000000000ABC ");
}

}  // namespace
}  // namespace kiv

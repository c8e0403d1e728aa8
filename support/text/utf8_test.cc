#include "kiv/utf8.h"

#include <gtest/gtest.h>

#include "support/text/standard_utf8.h"

namespace kiv {
namespace {

// Unit by unit: a surrogate half too is its own three-byte sequence, and
// decoding stops at the first invalid or incomplete sequence.
TEST(Utf8, EncodesEachUnitAloneAndDecodesUpToTheFirstBadSequence) {
  EXPECT_EQ(ToUtf8(u"a\u00e9\u07ff\u0800\uffff"), "a\xC3\xA9\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
  EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xED\xA0\xBD\xED\xB8\x80");
  std::u16string all;
  for (char32_t unit = 0; unit <= 0xFFFF; ++unit) all.push_back(static_cast<char16_t>(unit));
  EXPECT_EQ(FromUtf8(ToUtf8(all)), all);
  for (const char* bad : {"\x80", "\xC1\x81", "\xF0\x9F\x98\x80", "\xE0\x9F\xBF", "\xC3\x28",
                          "\xE2\x82\xC0", "\xE2\x82", "\xC3"}) {
    EXPECT_EQ(FromUtf8(std::string("ok") + bad), u"ok") << bad;
  }
}

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

}  // namespace
}  // namespace kiv

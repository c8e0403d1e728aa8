#include "kiv/utf8.h"

#include <gtest/gtest.h>

#include "support/text/standard_utf8.h"

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

}  // namespace
}  // namespace kiv

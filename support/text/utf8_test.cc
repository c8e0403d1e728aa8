#include "kiv/utf8.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

// Each unit, a surrogate half too, is its own one- to three-byte sequence.
TEST(ToUtf8, EncodesEachUnitInOneToThreeBytes) {
  const char16_t lone[] = {0xDC00, u'x'};
  EXPECT_EQ(ToUtf8(u""), "");
  EXPECT_EQ(ToUtf8(std::u16string(1, u'\0')), std::string(1, '\0'));
  EXPECT_EQ(ToUtf8(u"a\u00e9\u07ff\u0800\uffff"), "a\xC3\xA9\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
  EXPECT_EQ(ToUtf8(u"\U0001F600"), "\xED\xA0\xBD\xED\xB8\x80");
  EXPECT_EQ(ToUtf8(std::u16string_view(lone, 2)), "\xED\xB0\x80x");
}

// With ToUtf8's bytes pinned above, this covers every valid decoding.
TEST(FromUtf8, RoundTripsEveryUnitThroughToUtf8) {
  std::u16string all;
  for (char32_t unit = 0; unit <= 0xFFFF; ++unit) all.push_back(static_cast<char16_t>(unit));
  EXPECT_EQ(FromUtf8(ToUtf8(all)), all);
}

TEST(FromUtf8, StopsAtFirstInvalidSequenceKeepingThePrefix) {
  struct Case {
    std::string input;
    std::u16string expected;
  };
  const Case cases[] = {
      {"ab\x80z", u"ab"},              // stray continuation byte as lead
      {"a\xC1\x81", u"a"},             // overlong two-byte lead
      {"a\xC0\x80", u"a"},             // overlong NUL
      {"a\xF0\x9F\x98\x80", u"a"},     // four-byte sequences are not accepted
      {"a\xFF", u"a"},                 // never a lead byte
      {"a\xE0\x9F\xBF", u"a"},         // 0xE0 lead followed by less than 0xA0
      {"a\xC3\x28", u"a"},             // continuation outside 0x80-0xBF
      {"a\xE2\x82\xC0", u"a"},         // bad third byte
      {"ok\xE2\x82", u"ok"},           // incomplete at the end
      {"ok\xC3", u"ok"},               // incomplete at the end
      {"\xE2\x82\xAC\xC3", u"\u20ac"}  // valid prefix kept
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FromUtf8(c.input), c.expected) << "input of " << c.input.size() << " bytes";
  }
}

}  // namespace
}  // namespace kiv

#include <gtest/gtest.h>

#include <cstring>

#include "kiv/oleaut.h"

namespace {

std::uint32_t Prefix(BSTR text) {
  std::uint32_t length;
  std::memcpy(&length, reinterpret_cast<const char*>(text) - 4, 4);
  return length;
}

TEST(Bstr, PrefixHoldsBytesAndAZeroUnitFollows) {
  const OLECHAR text[] = u"abc\0de";  // embedded zero unit
  BSTR s = SysAllocStringLen(text, 6);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Prefix(s), 12u);
  EXPECT_EQ(SysStringLen(s), 6u);
  EXPECT_EQ(SysStringByteLen(s), 12u);
  EXPECT_EQ(std::memcmp(s, text, 12), 0);
  EXPECT_EQ(s[6], 0);
  SysFreeString(s);

  s = SysAllocString(u"hello");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 5u);
  EXPECT_EQ(std::u16string_view(s), u"hello");
  SysFreeString(s);

  // Shorter than the text: the copy stops and is terminated.
  s = SysAllocStringLen(u"hello", 2);
  EXPECT_EQ(std::u16string_view(s), u"he");
  SysFreeString(s);
}

TEST(Bstr, NullInputsAndRefusedLengths) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);

  BSTR zeroed = SysAllocStringLen(nullptr, 3);
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(SysStringLen(zeroed), 3u);
  for (int i = 0; i <= 3; ++i) EXPECT_EQ(zeroed[i], 0) << i;
  SysFreeString(zeroed);

  BSTR empty = SysAllocStringLen(nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  EXPECT_EQ(empty[0], 0);
  SysFreeString(empty);

  // Lengths past what the prefix can hold.
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x80000000u), nullptr);
  EXPECT_EQ(SysAllocStringLen(u"x", 0xFFFFFFFFu), nullptr);
}

TEST(Bstr, OddByteLengthKeepsItsBytes) {
  BSTR s = SysAllocStringByteLen("xyz", 3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringByteLen(s), 3u);
  EXPECT_EQ(SysStringLen(s), 1u);
  const char* bytes = reinterpret_cast<const char*>(s);
  EXPECT_EQ(std::memcmp(bytes, "xyz\0\0", 5), 0);
  EXPECT_EQ(s[2], 0);  // a whole zero unit after the partial one
  SysFreeString(s);
}

}  // namespace

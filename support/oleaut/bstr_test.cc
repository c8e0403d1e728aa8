#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kiv/oleaut.h"
#include "kiv/value.h"

namespace {

TEST(Bstr, ByteLengthBeforeAndAZeroUnitAfterTheText) {
  const OLECHAR text[] = u"abc\0de";  // embedded zero unit
  for (UINT units : {0u, 2u, 6u}) {
    SCOPED_TRACE(units);
    BSTR s = SysAllocStringLen(text, units);
    ASSERT_NE(s, nullptr);
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(s) - 4, 4);
    EXPECT_EQ(prefix, 2 * units);
    EXPECT_EQ(SysStringByteLen(s), 2 * units);
    EXPECT_EQ(SysStringLen(s), units);
    EXPECT_EQ(std::u16string_view(s, units), std::u16string_view(text, units));
    EXPECT_EQ(s[units], 0);
    SysFreeString(s);
  }
  const kiv::Bstr zeroed = kiv::Bstr::Attach(SysAllocStringLen(nullptr, 3));
  EXPECT_EQ(zeroed.view(), std::u16string(3, u'\0'));
  EXPECT_EQ(zeroed.get()[3], 0);
  // An odd byte length keeps its bytes; a whole zero unit follows the partial one.
  const kiv::Bstr odd = kiv::Bstr::Attach(SysAllocStringByteLen("xyz", 3));
  EXPECT_EQ(SysStringByteLen(odd.get()), 3u);
  EXPECT_EQ(odd.size(), 1u);
  EXPECT_EQ(std::memcmp(odd.get(), "xyz\0\0", 5), 0);
}

}  // namespace

#include "support/vutil/vutil_test_util.h"

namespace kiv::vutil_test {
namespace {

using namespace VUtil;

// [("Name", "kiv"), empty, ("Port", 29831), ("name", "second"), ("Count", " -12x")]
Variant Table() {
  Variant table = Array(VT_VARIANT, 5);
  PutPair(*table, 0, u"Name", u"kiv");
  PutPair(*table, 2, u"Port", 29831);
  PutPair(*table, 3, u"name", *Variant::String(u"second"));
  PutPair(*table, 4, u"Count", u" -12x");
  return table;
}

TEST(VUtilPairs, PutGetAndFindExactly) {
  const Variant table = Table();
  std::u16string key, value;
  GetPair(*table, 0, key, value);
  EXPECT_EQ(key, u"Name");
  EXPECT_EQ(value, u"kiv");
  // A non-string value leaves both outputs as they were.
  EXPECT_EQ(MessageOf([&] { GetPair(*table, 2, key, value); }), "Element is not a string");
  EXPECT_EQ(key, u"Name");

  // FindPair is exact and skips empty elements.
  value = u"untouched";
  EXPECT_TRUE(FindPair(*table, u"name", value));
  EXPECT_EQ(value, u"second");
  EXPECT_FALSE(FindPair(*table, u"NAME", value));
  EXPECT_FALSE(FindPair(*table, u"Nam", value));
  EXPECT_EQ(value, u"second");
}

TEST(VUtilPairs, FindNoCaseTakesTheFirstMatchInEachForm) {
  const Variant table = Table();
  std::u16string text;
  EXPECT_TRUE(FindPairNoCase(*table, u"NAME", text));
  EXPECT_EQ(text, u"kiv");
  int number = 0;
  EXPECT_TRUE(FindPairNoCase(*table, u"port", number));
  EXPECT_EQ(number, 29831);
  EXPECT_TRUE(FindPairNoCase(*table, u"count", number));
  EXPECT_EQ(number, -12);
  EXPECT_TRUE(FindPairNoCase(*table, u"name", number));  // "kiv" has no digits
  EXPECT_EQ(number, 0);
  Variant any = Variant::I4(1);
  EXPECT_TRUE(FindPairNoCase(*table, u"PORT", *any));
  EXPECT_EQ(any->vt, VT_I4);
  EXPECT_EQ(any->lVal, 29831);
  EXPECT_FALSE(FindPairNoCase(*table, u"missing", *any));
}

TEST(VUtilPairs, MismatchesThrowTheirMessages) {
  Variant table = Table(), i4 = Array(VT_I4, 1), withR8 = Array(VT_VARIANT, 1);
  PutPair(*withR8, 0, u"k", *Variant::R8(1.5));
  std::u16string k, v;
  int n = 0;
  EXPECT_MESSAGE(PutPair(*i4, 0, u"k", u"v"),
                 "PutPair: the given variant is not an array of variants");
  EXPECT_MESSAGE(PutPair(*table, 5, u"k", 1), "PutPair failed");
  EXPECT_MESSAGE(GetPair(*i4, 0, k, v), "Variant passed to VUtil::GetPair is not an array");
  EXPECT_MESSAGE(GetPair(*table, 9, k, v), "SafeArrayGetElement failed in VUtil::GetPair");
  EXPECT_MESSAGE(FindPair(*i4, u"k", v), "Variant passed to VUtil::FindPair is not an array");
  EXPECT_MESSAGE(FindPairNoCase(*i4, u"k", n), "Variant passed to VUtil::FindPair is not an array");
  EXPECT_MESSAGE(FindPair(*table, u"Port", v), "Element is not a string");
  EXPECT_MESSAGE(FindPairNoCase(*withR8, u"K", n),
                 "the value in the pair is neither a string nor an int");
  EXPECT_MESSAGE(FindPair(*Variants({Variant::I4(3)}), u"k", v),
                 "Not an array of variant or string");
}

}  // namespace
}  // namespace kiv::vutil_test

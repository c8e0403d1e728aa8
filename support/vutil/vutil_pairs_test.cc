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

TEST(VUtilPairs, FindTakesTheFirstMatchExactlyOrIgnoringCase) {
  const Variant table = Table();
  std::u16string key, value = u"untouched";
  EXPECT_FALSE(FindPair(*table, u"NAME", value));
  EXPECT_FALSE(FindPair(*table, u"Nam", value));
  EXPECT_EQ(value, u"untouched");
  EXPECT_TRUE(FindPair(*table, u"name", value));  // skips the empty element
  EXPECT_EQ(value, u"second");
  EXPECT_TRUE(FindPairNoCase(*table, u"NAME", value));
  EXPECT_EQ(value, u"kiv");
  GetPair(*table, 3, key, value);
  EXPECT_EQ(key + u"=" + value, u"name=second");
  int number = 0;
  EXPECT_TRUE(FindPairNoCase(*table, u"port", number));
  EXPECT_EQ(number, 29831);
  EXPECT_TRUE(FindPairNoCase(*table, u"count", number));
  EXPECT_EQ(number, -12);
  EXPECT_TRUE(FindPairNoCase(*table, u"name", number));  // "kiv" has no digits
  EXPECT_EQ(number, 0);
  Variant any = Variant::I4(1);
  EXPECT_TRUE(FindPairNoCase(*table, u"PORT", *any));
  EXPECT_EQ(any->lVal, 29831);
  EXPECT_FALSE(FindPairNoCase(*table, u"missing", *any));
}

TEST(VUtilPairs, MismatchesThrowAndLeaveOutputsAlone) {
  Variant table = Table(), i4 = Array(VT_I4, 1), withR8 = Array(VT_VARIANT, 1);
  PutPair(*withR8, 0, u"k", *Variant::R8(1.5));
  std::u16string k = u"k", v = u"v";
  int n = 0;
  EXPECT_REFUSED(PutPair(*i4, 0, u"k", u"v"));
  EXPECT_REFUSED(PutPair(*table, 5, u"k", 1));
  EXPECT_REFUSED(GetPair(*i4, 0, k, v));
  EXPECT_REFUSED(GetPair(*table, 9, k, v));
  EXPECT_REFUSED(GetPair(*table, 2, k, v));
  EXPECT_REFUSED(FindPairNoCase(*i4, u"k", n));
  EXPECT_REFUSED(FindPairNoCase(*withR8, u"K", n));
  EXPECT_REFUSED(FindPair(*Variants({Variant::I4(3)}), u"k", v));
  EXPECT_EQ(k + v, u"kv");
}

}  // namespace
}  // namespace kiv::vutil_test

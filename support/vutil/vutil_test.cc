#include <cstdlib>
#include <functional>
#include <limits>

#include "support/vutil/vutil_test_util.h"

namespace kiv::vutil_test {
namespace {

using namespace VUtil;

// The message of the exception `operation` throws.
std::string MessageOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const KivException& e) {
    return std::to_string(e.getCode()) + " " + ToUtf8(e.getMessage());
  }
  return "(no exception)";
}

// Values of the wrong shape are refused, and outputs stay as they were.
TEST(VUtil, WrongShapesAreRefused) {
  Variant i4 = Array(VT_I4, 2), bstrs = Array(VT_BSTR, 1), dates = Array(VT_DATE, 1), out;
  Variant variants = Variants({Variant::I4(1), Variant::String(u"s")});
  const SAFEARRAYBOUND twoByTwo[] = {{2, 0}, {2, 0}};
  Variant square = Variant::Adopt(SafeArrayCreate(VT_I4, 2, twoByTwo), VT_I4);
  std::u16string s;
  long number = 5;
  BYTE* bytes = nullptr;
  EXPECT_REFUSED(GetArrayLength(*Variant::I4(1)));
  EXPECT_REFUSED(GetArrayLength(*Variant::Adopt(nullptr, VT_I4)));
  EXPECT_REFUSED(ResizeArray(*Variant::I4(1), 3));
  EXPECT_REFUSED(GetElement(*i4, 0, out.get()));
  EXPECT_REFUSED(GetElement(*i4, 2, &number));
  EXPECT_REFUSED(GetBoolElement(*variants, 1));
  EXPECT_REFUSED(GetFloatElement(*variants, 1));
  EXPECT_REFUSED(GetStringElement(*variants, 0));
  EXPECT_REFUSED(GetDateElement(*dates, 1));
  EXPECT_REFUSED(PutElement(*i4, 0, 1.0));
  EXPECT_REFUSED(PutElement(*variants, 0, long{INT32_MAX} + 1));
  EXPECT_REFUSED(PutElement(*i4, 0, long{INT32_MIN} - 1));
  EXPECT_REFUSED(PutElement(*variants, 5, u"s"));
  EXPECT_REFUSED(PutElement(*square, 0, 1));
  EXPECT_REFUSED(PutElement(*Variant::I4(1), 0, static_cast<void*>(&s)));
  EXPECT_REFUSED(PutBinaryIntoVariant(*out, "x", -1));
  EXPECT_REFUSED(GetBinaryElement(*i4, 0, &bytes));
  EXPECT_REFUSED(GetBinaryElement(*variants, 0, &bytes));
  EXPECT_REFUSED(checkArrayType(*i4, VT_BSTR, 2, nullptr));
  EXPECT_REFUSED(checkArrayType(*i4, VT_I4, 3, true, nullptr));
  EXPECT_REFUSED(checkArrayType(*i4, VT_I4, 1, nullptr));
  EXPECT_REFUSED(GetSingleRetcode(*Variant::String(u"x")));
  EXPECT_REFUSED(GetSingleRetcode(*bstrs));
  EXPECT_REFUSED(CheckSingleRetcode(*variants, nullptr));
  EXPECT_REFUSED(GetSingleOutParamString(*bstrs, s));
  EXPECT_REFUSED(GetSingleOutParamString(*variants, s));
  EXPECT_EQ(number, 5);
  EXPECT_EQ(s, u"");
  EXPECT_EQ(bytes, nullptr);
}

TEST(VUtil, MessagesNameTheCheckTheValuesAndTheContext) {
  const Variant text = Variant::String(u"x");
  const std::string retcode = "1 C: Kiv error detected in VUtil::CheckSingleRetcode : hr = ";
  EXPECT_EQ(MessageOf([&] { checkType(*text, VT_I4, u"Ping"); }),
            "1 Ping: checkType failed, got 8, expected 3");
  EXPECT_EQ(MessageOf([&] { CheckSingleRetcode(*text, u"C"); }), retcode + "-1 - 0xffffffff");
  EXPECT_EQ(MessageOf([&] { CheckSingleRetcode(*Variants({text}), nullptr); }),
            "1 safeArrayGetElement failed in VUtil::CheckSingleRetcode : 'Element is not a long'");
}

// Typed writes reach both array shapes; lenient reads take both back, and
// strict reads only the typed one.
TEST(VUtil, TypedWritesAndLenientReadsMeetInBothShapes) {
  for (VARTYPE own : {VT_I4, VT_VARIANT}) {
    Variant a = Array(own, 2);
    PutElement(*a, 0, long{INT32_MIN});
    PutElement(*a, 1, long{INT32_MAX});
    EXPECT_EQ(GetLongElement(*a, 0) + GetIntElement(*a, 1) + GetSingleRetcode(*a), -1L + INT32_MIN);
    int strict = 0;
    EXPECT_EQ(MessageOf([&] { GetElement(*a, 1, &strict); }) == "(no exception)", own == VT_I4);
  }
  Variant v = Array(VT_VARIANT, 9), r8 = Array(VT_R8, 1), bools = Array(VT_BOOL, 1);
  PutElement(*v, 0, true);
  PutElement(*v, 1, short{-3});
  PutElement(*v, 2, USHORT{65535});
  PutElement(*v, 3, 2.5);
  PutElement(*v, 4, 1.25f);
  PutElement(*v, 5, std::u16string(u"text"));
  PutDateElement(*v, 6, 86400);
  PutElement(*v, 7, BYTE{7});
  PutElement(*r8, 0, 0.1);
  PutElement(*bools, 0, true);
  EXPECT_TRUE(GetBoolElement(*v, 0) && GetBoolElement(*bools, 0));
  EXPECT_EQ(GetShortElement(*v, 1), -3);
  EXPECT_EQ(GetUShortElement(*v, 2), 65535);
  EXPECT_EQ(GetDoubleElement(*v, 3) + GetFloatElement(*v, 4), 3.75);
  EXPECT_EQ(GetFloatElement(*r8, 0), 0.1f);  // R8 narrowed
  EXPECT_EQ(GetStringElement(*v, 5), u"text");
  EXPECT_EQ(GetDateElement(*v, 6), 86400);
  Variant element;
  GetElement(*v, 7, element.get());
  EXPECT_EQ(element.vt(), VT_UI1);
  EXPECT_EQ(element->bVal, 7);
  EXPECT_EQ(GetLongElementEmpty(*v, 8), 0);
  EXPECT_EQ(GetStringElement(*v, 8), u"");
  VARIANT_BOOL raw = 0;
  GetElementBool(*bools, 0, &raw);
  EXPECT_EQ(raw, VARIANT_TRUE);
  const Variant any =
      Variants({Variant(), Variant::Null(), Scalar(VT_I2, 0), Scalar(VT_I2, 2), Variant::Bool(true),
                Scalar(VT_UI2, 1), Variant::I4(0), Scalar(VT_UI4, 0x80000000)});
  std::string read;
  for (LONG i = 0; i < 8; ++i) read += GetBoolElementEmpty(*any, i) ? '1' : '0';
  EXPECT_EQ(read, "00011101");
}

TEST(VUtil, ArraysResizeAndBytesRoundTrip) {
  Variant v = Array(VT_BSTR, 1);
  PutElement(*v, 0, u"kept");
  ResizeArray(*v, 3);
  EXPECT_EQ(GetArrayLengthEmpty(*v) + GetArrayLengthEmpty(*Variant()), 3);
  EXPECT_EQ(GetStringElement(*v, 0) + GetStringElement(*v, 2), u"kept");
  checkArrayType(*v, VT_BSTR, 3, nullptr);
  checkArrayType(*v, VT_BSTR, 2, true, nullptr);

  const unsigned char data[] = {0, 1, 0xfe, 0xff};
  Variant bytes = Variant::I4(1);  // replaced, not leaked
  PutBinaryIntoVariant(*bytes, data, sizeof data);
  Variant outer = Variants({Variant(bytes), Array(VT_UI1, 0)});
  BYTE* copy = nullptr;
  ASSERT_EQ(GetBinaryElement(*outer, 0, &copy), 4);
  EXPECT_EQ(std::vector<BYTE>(copy, copy + 4), std::vector<BYTE>(data, data + 4));
  std::free(copy);
  EXPECT_EQ(GetBinaryElement(*outer, 1, &copy), 0);
  std::free(copy);
}

TEST(VUtil, ReturnCodesOutStringsAndDates) {
  EXPECT_EQ(GetSingleRetcode(*Variant::I4(4)), 4);
  CheckSingleRetcode(*Variant::I4(0), nullptr);
  CheckSingleRetcode(*Variants({Variant::I4(0), Variant::String(u"extra")}), u"ok");
  std::u16string out;
  GetSingleOutParamString(*Variants({Variant::String(u"result")}), out);
  EXPECT_EQ(out, u"result");
  // No time-zone shift; rounded to the nearest second.
  EXPECT_EQ(DateToTime(25569.5), 43200);
  EXPECT_EQ(DateToTime(25570.0 + 0.4 / 86400), 86400);
  EXPECT_EQ(DateToTime(25570.0 + 0.6 / 86400), 86401);
  EXPECT_EQ(DateToTime(0.0), -25569LL * 86400);
  EXPECT_EQ(TimeToDate(86400 + 21600), 25570.25);
  EXPECT_EQ(TimeToDate(-86400), 25568.0);
  EXPECT_REFUSED(DateToTime(std::numeric_limits<double>::quiet_NaN()));
}

std::string Dump(const Variant& v) {
  return ToUtf8(DumpVariant(*v, u"t"));
}

// Scalars and arrays without element lines take one line each; dates print
// as UTC text, and what cannot be read becomes an error line.
TEST(VUtilDump, ScalarsOneLineEach) {
  Variant date = Scalar(VT_DATE, 0), badDate = Scalar(VT_DATE, 0);
  date->date = 45000.5;
  badDate->date = std::numeric_limits<double>::infinity();
  const struct {
    Variant value;
    const char* line;
  } cases[] = {
      {Variant(), "<var vt=\"VT_EMPTY\" />"},
      {Scalar(VT_I2, 0xFFFF), "<var vt=\"VT_I2\">-1</var>"},
      {Scalar(VT_R4, 0x3FC00000), "<var vt=\"VT_R4\">1.500000</var>"},
      {Scalar(VT_BSTR, 0), "<var vt=\"VT_BSTR\"></var>"},  // null BSTR
      {Scalar(VT_I1, 0x80), "<var vt=\"VT_I1\">-128</var>"},
      {Scalar(VT_UI4, 0xFFFFFFFF), "<var vt=\"VT_UI4\">4294967295</var>"},
      {Variant::I8(1), "<var vt=\"20 (unknown)\" />"},
      {Array(VT_R8, 2), "<var vt=\"VT_ARRAY|VT_R8\" count=\"2\" />"},
      {date, "<var vt=\"VT_DATE\">2023-03-15 12:00:00</var>"},
      {badDate, "<Error>Date out of range in VUtil::DateToTime</Error>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Dump(c.value), std::string("Dumping t:   ") + c.line + "\r\n");
  }
}

// Elements of typed arrays share their array's indent; only the elements of
// an array of variants go one level deeper. A value that cannot be read
// shows an error line in place of its remaining lines, and the dump goes on.
TEST(VUtilDump, NestedArraysIndentEachVariantLevel) {
  Variant i2 = Array(VT_I2, 2), ui2 = Array(VT_UI2, 1), ui4 = Array(VT_UI4, 1);
  Variant strings = Array(VT_BSTR, 2);
  PutElement(*i2, 0, short{-5});
  PutElement(*i2, 1, short{7});
  PutElement(*ui2, 0, USHORT{65535});
  ULONG big = 0xFFFFFFFF;
  PutElement(*ui4, 0, static_cast<void*>(&big));
  PutElement(*strings, 1, u"x y");
  const SAFEARRAYBOUND twoByTwo[] = {{2, 0}, {2, 0}};
  const Variant square = Variant::Adopt(SafeArrayCreate(VT_BSTR, 2, twoByTwo), VT_BSTR);
  const Variant value = Variants(
      {Variant::I4(5), Variants({Variant::Bool(true), i2, ui4}), ui2, strings, Array(VT_I4, 0),
       Variant::Adopt(SafeArrayCreateVector(VT_I4, 1, 1), VT_I4), square});
  EXPECT_EQ(Dump(value),
            "Dumping t:   <var vt=\"VT_ARRAY|VT_VARIANT\" count=\"7\">\r\n"
            "    <var vt=\"VT_I4\">5</var>\r\n"
            "    <var vt=\"VT_ARRAY|VT_VARIANT\" count=\"3\">\r\n"
            "      <var vt=\"VT_BOOL\">TRUE</var>\r\n"
            "      <var vt=\"VT_ARRAY|VT_I2\" count=\"2\">\r\n"
            "      <var vt=\"VT_I2\">-5</var>\r\n"
            "      <var vt=\"VT_I2\">7</var>\r\n"
            "      </var>\r\n"
            "      <var vt=\"VT_ARRAY|VT_UI4\" count=\"1\">\r\n"
            "      <var vt=\"VT_UI4\">-1</var>\r\n"  // the element format is %d
            "      </var>\r\n"
            "    </var>\r\n"
            "    <var vt=\"VT_ARRAY|VT_UI2\" count=\"1\">\r\n"
            "    <var vt=\"VT_UI2\">65535</var>\r\n"
            "    </var>\r\n"
            "    <var vt=\"VT_ARRAY|VT_BSTR\" count=\"2\">\r\n"
            "    <var vt=\"VT_BSTR\"></var>\r\n"
            "    <var vt=\"VT_BSTR\">x y</var>\r\n"
            "    </var>\r\n"
            "    <var vt=\"VT_ARRAY|VT_I4\" count=\"0\">\r\n"
            "    </var>\r\n"
            "    <Error>Array is not zero indexed! (VUtil::GetArrayLength)</Error>\r\n"
            "    <var vt=\"VT_ARRAY|VT_BSTR\" count=\"2\">\r\n"
            "    <Error>SafeArrayGetElement failed in VUtil::GetElement</Error>\r\n"
            "  </var>\r\n");
}

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
  std::u16string value = u"untouched";
  EXPECT_FALSE(FindPair(*table, u"NAME", value));
  EXPECT_FALSE(FindPair(*table, u"Nam", value));
  EXPECT_EQ(value, u"untouched");
  EXPECT_TRUE(FindPair(*table, u"name", value));  // skips the empty element
  EXPECT_EQ(value, u"second");
  EXPECT_TRUE(FindPairNoCase(*table, u"NAME", value));
  EXPECT_EQ(value, u"kiv");
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
  EXPECT_REFUSED(GetPair(*table, 9, k, v));
  EXPECT_REFUSED(GetPair(*table, 2, k, v));
  EXPECT_REFUSED(FindPairNoCase(*i4, u"k", n));
  EXPECT_REFUSED(FindPairNoCase(*withR8, u"K", n));
  EXPECT_EQ(k + v, u"kv");
}

}  // namespace
}  // namespace kiv::vutil_test

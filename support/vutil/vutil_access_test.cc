#include <cstdlib>
#include <limits>

#include "support/vutil/vutil_test_util.h"

namespace kiv::vutil_test {
namespace {

using namespace VUtil;

// Somewhere for a read that is expected to fail to write to.
template <typename T>
T* Sink() {
  static T value;
  return &value;
}

TEST(VUtil, EveryMismatchThrowsItsMessage) {
  Variant i4 = Array(VT_I4, 2), bstrs = Array(VT_BSTR, 1), dates = Array(VT_DATE, 1);
  Variant variants = Variants({Variant::I4(1), Variant::String(u"s")}), scratch;
  const Variant scalar = Variant::I4(-2147467259), text = Variant::String(u"x");
  const Variant lowerBound1 = Variant::Adopt(SafeArrayCreateVector(VT_I4, 1, 2), VT_I4);
  const SAFEARRAYBOUND twoByTwo[] = {{2, 0}, {2, 0}};
  Variant square = Variant::Adopt(SafeArrayCreate(VT_I4, 2, twoByTwo), VT_I4);
  std::u16string s;
  BYTE* bytes = nullptr;
  const std::string get = "Variant passed to VUtil::GetElement is not ",
                    put = "PutElement failed: ";
  const std::string retcode = "Kiv error detected in VUtil::CheckSingleRetcode : hr = ";

  EXPECT_MESSAGE(GetArrayLength(*scalar),
                 "Variant passed to VUtil::GetArrayLength is not an array");
  EXPECT_MESSAGE(GetArrayLength(*lowerBound1),
                 "Array is not zero indexed! (VUtil::GetArrayLength)");
  EXPECT_MESSAGE(GetArrayLength(*Variant::Adopt(nullptr, VT_I4)),
                 "SafeArrayGetLBound failed in VUtil::GetArrayLength");
  EXPECT_MESSAGE(GetArrayLengthEmpty(*scalar),
                 "Variant passed to VUtil::GetArrayLengthEmpty is not an array");
  EXPECT_MESSAGE(ResizeArray(*Variant::I4(1), 3), "Could not redimension safe array");
  EXPECT_MESSAGE(CreateArray(*scratch, VT_RECORD, 1), "Could not create safe array");

  EXPECT_MESSAGE(GetElement(*i4, 0, scratch.get()), get + "a variant array");
  EXPECT_MESSAGE(GetElement(*i4, 0, &s), get + "a string array");
  EXPECT_MESSAGE(GetElement(*bstrs, 0, Sink<long>()), get + "a long array");
  EXPECT_MESSAGE(GetElement(*bstrs, 0, Sink<int>()), get + "an int array");
  EXPECT_MESSAGE(GetElement(*i4, 0, Sink<double>()), get + "a double array");
  EXPECT_MESSAGE(GetElement(*i4, 0, Sink<float>()), get + "a float array");
  EXPECT_MESSAGE(GetElement(*i4, 0, Sink<unsigned long>()), get + "a unsigned long array");
  EXPECT_MESSAGE(GetElement(*i4, 0, Sink<short>()), get + "a short array");
  EXPECT_MESSAGE(GetElementBool(*i4, 0, Sink<VARIANT_BOOL>()), get + "a short array");
  EXPECT_MESSAGE(GetElement(*i4, 0, Sink<unsigned short>()), get + "a unsigned short array");
  EXPECT_MESSAGE(GetElement(*i4, 2, Sink<long>()),
                 "SafeArrayGetElement failed in VUtil::GetElement");
  EXPECT_MESSAGE(GetElement(*square, 0, Sink<long>()),
                 "SafeArrayGetElement failed in VUtil::GetElement");

  const struct {
    std::function<void(const VARIANT&)> read;
    std::string notAnArray, wrongElement;  // read from a BSTR array; of element 1, "s"
  } lenient[] = {
      {[](auto& v) { GetBoolElement(v, 1); }, " or bool", "a bool"},
      {[](auto& v) { GetBoolElementEmpty(v, 1); }, " or bool", "a bool"},
      {[](auto& v) { GetLongElement(v, 1); }, " or long", "a long"},
      {[](auto& v) { GetLongElementEmpty(v, 1); }, " or long", "a long"},
      {[](auto& v) { GetIntElement(v, 1); }, " or int", "an int"},
      {[](auto& v) { GetShortElement(v, 1); }, " or short", "a short"},
      {[](auto& v) { GetUShortElement(v, 1); }, " or unsigned short", "an unsigned short"},
      {[](auto& v) { GetDoubleElement(v, 1); }, " or double", "a double"},
      {[](auto& v) { GetFloatElement(v, 1); }, ", float or double", "a float or a double"},
      {[](auto& v) { GetDateElement(v, 1); }, " or date", "a date"},
  };
  for (const auto& c : lenient) {
    EXPECT_MESSAGE(c.read(*bstrs), "Not an array of variant" + c.notAnArray);
    EXPECT_MESSAGE(c.read(*variants), "Element is not " + c.wrongElement);
  }
  EXPECT_MESSAGE(GetStringElement(*i4, 0), "Not an array of variant or string");
  EXPECT_MESSAGE(GetStringElement(*variants, 0), "Element is not a string");
  EXPECT_MESSAGE(GetDateElement(*dates, 1), "SafeArrayGetElement failed in VUtil::GetDateElement");

  EXPECT_MESSAGE(PutElement(*i4, 0, BYTE{1}), put + "not an array of UI1 nor VARIANT");
  EXPECT_MESSAGE(PutElement(*i4, 0, true), put + "not an array of BOOL nor VARIANT");
  EXPECT_MESSAGE(PutElement(*i4, 0, u"s"), put + "not an array of BSTR nor VARIANT");
  EXPECT_MESSAGE(PutElement(*i4, 0, short{1}), put + "not an array of I2 nor VARIANT");
  EXPECT_MESSAGE(PutElement(*i4, 0, USHORT{1}), put + "not an array of UI2 nor VARIANT");
  EXPECT_MESSAGE(PutElement(*bstrs, 0, 1L), put + "not an array of I4 nor VARIANT");
  EXPECT_MESSAGE(PutElement(*variants, 0, long{1} << 40), put + "value out of the range of I4");
  EXPECT_MESSAGE(PutElement(*i4, 0, 1.0), put + "not an array of R8 nor VARIANT");
  EXPECT_MESSAGE(PutElement(*i4, 0, 1.0f), put + "not an array of R4 nor VARIANT");
  EXPECT_MESSAGE(PutDateElement(*i4, 0, 0), put + "not an array of DATE nor VARIANT");
  EXPECT_MESSAGE(PutElement(*variants, 5, std::u16string(u"s")), "SafeArrayPutElement failed");
  EXPECT_MESSAGE(PutElement(*square, 0, 1), "SafeArrayPutElement failed");
  EXPECT_MESSAGE(PutElement(*Variant::I4(1), 0, static_cast<void*>(&s)),
                 "SafeArrayPutElement failed");

  EXPECT_MESSAGE(PutBinaryIntoVariant(*scratch, "x", -1),
                 "PutBinaryIntoVariant: could not create safe array");
  EXPECT_MESSAGE(GetBinaryElement(*i4, 0, &bytes), "Not an array of variant");
  EXPECT_MESSAGE(GetBinaryElement(*variants, 0, &bytes), "Element is not an unsigned char array");
  EXPECT_EQ(bytes, nullptr);  // outputs of failed calls stay as they were

  EXPECT_MESSAGE(checkType(*text, VT_I4, u"Ping"), "Ping: checkType failed, got 8, expected 3");
  EXPECT_MESSAGE(checkType(*text, VT_I4, nullptr), "checkType failed, got 8, expected 3");
  EXPECT_MESSAGE(checkArrayType(*i4, VT_BSTR, 2, u"C"),
                 "C: checkArrayType failed, got 8195, expected 8200");
  EXPECT_MESSAGE(checkArrayType(*i4, VT_I4, 4, true, nullptr),
                 "checkArrayType failed, got length 2, expect 4+");
  EXPECT_MESSAGE(checkArrayType(*i4, VT_I4, 1, u"C"),
                 "C: checkArrayType failed, got length 2, expect 1");

  EXPECT_MESSAGE(GetSingleRetcode(*text), "VUtil::GetSingleRetcode wrong type");
  EXPECT_MESSAGE(GetSingleRetcode(*bstrs),
                 "safeArrayGetElement failed in VUtil::GetSingleRetcode : "
                 "'Not an array of variant or long'");
  EXPECT_MESSAGE(CheckSingleRetcode(*scalar, nullptr), retcode + "-2147467259 - 0x80004005");
  EXPECT_MESSAGE(CheckSingleRetcode(*text, u"Ping"), "Ping: " + retcode + "-1 - 0xffffffff");
  EXPECT_MESSAGE(CheckSingleRetcode(*variants, u"C"), "C: " + retcode + "1 - 0x1");
  EXPECT_MESSAGE(CheckSingleRetcode(*Variants({text}), u"C"),
                 "C: safeArrayGetElement failed in VUtil::CheckSingleRetcode : "
                 "'Element is not a long'");
  EXPECT_MESSAGE(GetSingleOutParamString(*text, s),
                 "SafeArrayGetElement failed in VUtil::GetSingleOutParamString");
  EXPECT_MESSAGE(GetSingleOutParamString(*variants, s),
                 "outParam is not a BSTR in VUtil::GetSingleOutParamString");
  EXPECT_EQ(s, u"");
}

// Typed writes reach both array shapes; lenient reads take both back, and
// strict reads only the typed one.
TEST(VUtil, TypedWritesAndLenientReadsMeetInBothShapes) {
  for (VARTYPE own : {VT_I4, VT_VARIANT}) {
    Variant a = Array(own, 1);
    PutElement(*a, 0, -7L);
    EXPECT_EQ(GetLongElement(*a, 0) + GetIntElement(*a, 0) + GetSingleRetcode(*a), -21);
    EXPECT_EQ(MessageOf([&] { GetElement(*a, 0, Sink<int>()); }) == "(no exception)", own == VT_I4);
  }
  Variant v = Array(VT_VARIANT, 9), r8 = Array(VT_R8, 1), bools = Array(VT_BOOL, 1);
  PutElement(*v, 0, true);
  PutElement(*v, 1, short{-3});
  PutElement(*v, 2, USHORT{65535});
  PutElement(*v, 3, 2.5);
  PutElement(*v, 4, 1.25f);
  PutElement(*v, 5, std::u16string(u"text"));
  PutDateElement(*v, 6, 86400);
  PutElement(*r8, 0, 0.1);
  PutElement(*bools, 0, true);
  EXPECT_TRUE(GetBoolElement(*v, 0) && GetBoolElement(*bools, 0));
  EXPECT_EQ(GetShortElement(*v, 1), -3);
  EXPECT_EQ(GetUShortElement(*v, 2), 65535);
  EXPECT_EQ(GetDoubleElement(*v, 3), 2.5);
  EXPECT_EQ(GetFloatElement(*v, 4), 1.25f);
  EXPECT_EQ(GetFloatElement(*r8, 0), 0.1f);  // R8 narrowed
  EXPECT_EQ(GetStringElement(*v, 5), u"text");
  EXPECT_EQ(GetDateElement(*v, 6), 86400);
  EXPECT_EQ(GetLongElementEmpty(*v, 8), 0);
  EXPECT_EQ(GetStringElement(*v, 8), u"");
  VARIANT_BOOL raw = 0;
  GetElementBool(*bools, 0, &raw);
  EXPECT_EQ(raw, VARIANT_TRUE);
}

TEST(VUtil, BoolElementEmptyTakesIntegersAndNothing) {
  const Variant v =
      Variants({Variant(), Variant::Null(), Scalar(VT_I2, 0), Scalar(VT_I2, 2), Variant::Bool(true),
                Scalar(VT_UI2, 1), Variant::I4(0), Scalar(VT_UI4, 0x80000000)});
  const bool expected[] = {false, false, false, true, true, true, false, true};
  for (LONG i = 0; i < 8; ++i) EXPECT_EQ(GetBoolElementEmpty(*v, i), expected[i]) << i;
}

TEST(VUtil, ArraysResizeAndBytesRoundTrip) {
  Variant v = Array(VT_BSTR, 1);
  PutElement(*v, 0, u"kept");
  ResizeArray(*v, 3);
  EXPECT_EQ(GetArrayLengthEmpty(*v) + GetArrayLengthEmpty(*Variant()), 3);
  EXPECT_EQ(GetStringElement(*v, 0) + GetStringElement(*v, 2), u"kept");

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

TEST(VUtil, DatesConvertToSecondsWithoutZoneShift) {
  EXPECT_EQ(DateToTime(25569.5), 43200);
  EXPECT_EQ(DateToTime(25570.0 + 0.4 / 86400), 86400);  // rounded to the second
  EXPECT_EQ(DateToTime(25570.0 + 0.6 / 86400), 86401);
  EXPECT_EQ(DateToTime(0.0), -25569LL * 86400);
  EXPECT_EQ(TimeToDate(86400 + 21600), 25570.25);
  EXPECT_EQ(TimeToDate(-86400), 25568.0);
  EXPECT_MESSAGE(DateToTime(std::numeric_limits<double>::quiet_NaN()),
                 "Date out of range in VUtil::DateToTime");
}

TEST(VUtil, GoodReturnCodesAndOutStringPass) {
  EXPECT_EQ(GetSingleRetcode(*Variant::I4(4)), 4);
  CheckSingleRetcode(*Variant::I4(0), nullptr);
  CheckSingleRetcode(*Variants({Variant::I4(0), Variant::String(u"extra")}), u"ok");
  std::u16string out;
  GetSingleOutParamString(*Variants({Variant::String(u"result")}), out);
  EXPECT_EQ(out, u"result");
}

}  // namespace
}  // namespace kiv::vutil_test

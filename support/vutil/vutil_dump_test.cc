#include <limits>

#include "support/vutil/vutil_test_util.h"

namespace kiv::vutil_test {
namespace {

using namespace VUtil;

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
      {Scalar(VT_BOOL, 1), "<var vt=\"VT_BOOL\">TRUE</var>"},
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

}  // namespace
}  // namespace kiv::vutil_test

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kiv/oleaut.h"
#include "support/oleaut/fake_unknown.h"

namespace {

VARIANT StringVariant(const char16_t* text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text);
  return v;
}

TEST(Variant, InvalidTypeWordsAreRefusedAndLeftAlone) {
  VARIANT v;
  std::memset(&v, 0xAB, sizeof v);
  VariantInit(&v);
  EXPECT_EQ(v.vt | v.wReserved1 | v.wReserved2 | v.wReserved3, 0);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
  for (VARTYPE vt : {VARTYPE{VT_VARIANT}, VARTYPE{15}, VARTYPE{0x1000 | VT_I4},
                     VARTYPE{VT_BYREF | VT_EMPTY}, VARTYPE{VT_ARRAY | VT_RECORD}}) {
    v.vt = vt;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << vt;
    EXPECT_EQ(v.vt, vt);
    VARIANT copy = StringVariant(u"kept");
    EXPECT_EQ(VariantCopy(&copy, &v), DISP_E_BADVARTYPE) << vt;
    EXPECT_EQ(copy.vt, VT_BSTR);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(copy.vt, VT_EMPTY);
  }
}

}  // namespace

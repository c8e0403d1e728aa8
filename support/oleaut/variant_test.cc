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

// A one-dimensional VT_VARIANT array holding copies of items, in order.
SAFEARRAY* VariantVector(std::initializer_list<VARIANT> items) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(items.size()));
  LONG i = 0;
  for (const VARIANT& item : items) {
    EXPECT_EQ(SafeArrayPutElement(array, &i, const_cast<VARIANT*>(&item)), S_OK);
    ++i;
  }
  return array;
}

VARIANT& At(SAFEARRAY* array, LONG index) {
  void* p = nullptr;
  EXPECT_EQ(SafeArrayPtrOfIndex(array, &index, &p), S_OK);
  return *static_cast<VARIANT*>(p);
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

TEST(Variant, CopyOfNestedArraysIsDeepAndMayComeFromInsideTheDestination) {
  VARIANT x = StringVariant(u"x"), a = StringVariant(u"a"), inner, source;
  VariantInit(&inner);
  VariantInit(&source);
  inner.vt = source.vt = VT_ARRAY | VT_VARIANT;
  inner.parray = VariantVector({x});
  source.parray = VariantVector({a, inner});
  for (VARIANT* v : {&x, &a, &inner}) VariantClear(v);

  VARIANT copy = StringVariant(u"old value, freed by the copy");
  ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
  ASSERT_EQ(copy.vt, VT_ARRAY | VT_VARIANT);
  VARIANT& copiedInner = At(copy.parray, 1);
  ASSERT_NE(copiedInner.parray, At(source.parray, 1).parray);
  // Changing the copy at every level leaves the source as it was.
  At(copy.parray, 0).bstrVal[0] = u'b';
  At(copiedInner.parray, 0).bstrVal[0] = u'y';
  EXPECT_EQ(std::u16string_view(At(source.parray, 0).bstrVal), u"a");
  EXPECT_EQ(std::u16string_view(At(At(source.parray, 1).parray, 0).bstrVal), u"x");

  // The source lives in the array the destination owns.
  ASSERT_EQ(VariantCopy(&copy, &At(copy.parray, 0)), S_OK);
  ASSERT_EQ(copy.vt, VT_BSTR);
  EXPECT_EQ(std::u16string_view(copy.bstrVal), u"b");
  EXPECT_EQ(VariantCopy(&copy, &copy), S_OK);
  EXPECT_EQ(std::u16string_view(copy.bstrVal), u"b");
  EXPECT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(VariantClear(&source), S_OK);
}

TEST(Variant, ByReferenceValuesAreSharedNotOwned) {
  BSTR text = SysAllocString(u"caller's");
  SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 1);
  VARIANT ref, copy;
  VariantInit(&copy);
  for (VARTYPE vt : {VT_BYREF | VT_BSTR, VT_BYREF | VT_ARRAY | VT_I4}) {
    ref.vt = vt;
    ref.byref = vt == (VT_BYREF | VT_BSTR) ? static_cast<void*>(&text) : &array;
    ASSERT_EQ(VariantCopy(&copy, &ref), S_OK);
    EXPECT_EQ(copy.byref, ref.byref);
    EXPECT_EQ(VariantClear(&copy), S_OK);
    EXPECT_EQ(VariantClear(&ref), S_OK);
    EXPECT_EQ(ref.vt, VT_EMPTY);
  }
  EXPECT_EQ(std::u16string_view(text), u"caller's");  // still alive
  SysFreeString(text);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(Variant, InterfacesAreCountedThroughTheirVtableAndDecimalsCopiedWhole) {
  kiv::testing::FakeUnknown object;
  VARIANT v, copy;
  VariantInit(&v);
  VariantInit(&copy);
  v.vt = VT_DISPATCH;
  v.pdispVal = reinterpret_cast<IDispatch*>(object.get());
  ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
  EXPECT_EQ(object.refs(), 2u);
  VariantClear(&copy);
  EXPECT_EQ(object.refs(), 1u);
  IUnknown* slot = object.get();
  v.vt = VT_BYREF | VT_UNKNOWN;
  v.ppunkVal = &slot;
  ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
  VariantClear(&copy);
  EXPECT_EQ(object.refs(), 1u);

  VariantInit(&v);
  v.decVal.Hi32 = 7;
  v.decVal.Lo64 = 0x123456789ull;
  v.decVal.scale = 3;
  v.vt = VT_DECIMAL;  // shares its word with DECIMAL::wReserved
  ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
  EXPECT_EQ(std::memcmp(&copy, &v, sizeof v), 0);
}

}  // namespace

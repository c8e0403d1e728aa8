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

TEST(Variant, InitAndClearLeaveEmpty) {
  VARIANT v;
  std::memset(&v, 0xAB, sizeof v);
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(v.wReserved1 | v.wReserved2 | v.wReserved3, 0);

  v = StringVariant(u"owned");
  EXPECT_EQ(VariantClear(&v), S_OK);  // ASan reports the string if it leaks
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

TEST(Variant, InvalidTypeWordsAreRefusedAndLeftAlone) {
  for (VARTYPE vt : {VARTYPE{VT_VARIANT}, VARTYPE{15}, VARTYPE{VT_RECORD}, VARTYPE{VT_VOID},
                     VARTYPE{0x1000 | VT_I4}, VARTYPE{0x8000 | VT_I4}, VARTYPE{VT_BYREF | VT_EMPTY},
                     VARTYPE{VT_ARRAY | VT_EMPTY}, VARTYPE{VT_ARRAY | VT_RECORD}}) {
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    v.llVal = 42;
    EXPECT_EQ(VariantClear(&v), DISP_E_BADVARTYPE) << vt;
    EXPECT_EQ(v.vt, vt);
    VARIANT copy = StringVariant(u"kept");
    EXPECT_EQ(VariantCopy(&copy, &v), DISP_E_BADVARTYPE) << vt;
    EXPECT_EQ(copy.vt, VT_BSTR);
    VariantClear(&copy);
  }
}

TEST(Variant, CopyOfNestedArraysIsDeep) {
  VARIANT inner;
  VariantInit(&inner);
  VARIANT x = StringVariant(u"x");
  VARIANT y = StringVariant(u"y");
  inner.vt = VT_ARRAY | VT_VARIANT;
  inner.parray = VariantVector({x, y});
  VARIANT a = StringVariant(u"a");
  VARIANT source;
  VariantInit(&source);
  source.vt = VT_ARRAY | VT_VARIANT;
  source.parray = VariantVector({a, inner});
  for (VARIANT* v : {&x, &y, &a, &inner}) VariantClear(v);

  VARIANT copy = StringVariant(u"old value, freed by the copy");
  ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
  ASSERT_EQ(copy.vt, VT_ARRAY | VT_VARIANT);
  ASSERT_NE(copy.parray, source.parray);
  VARIANT& copiedInner = At(copy.parray, 1);
  VARIANT& sourceInner = At(source.parray, 1);
  ASSERT_NE(copiedInner.parray, sourceInner.parray);
  EXPECT_NE(At(copy.parray, 0).bstrVal, At(source.parray, 0).bstrVal);
  EXPECT_EQ(std::u16string_view(At(copiedInner.parray, 1).bstrVal), u"y");

  // Changing the copy at every level leaves the source as it was.
  VARIANT z = StringVariant(u"z");
  LONG one = 1;
  EXPECT_EQ(SafeArrayPutElement(copiedInner.parray, &one, &z), S_OK);
  At(copy.parray, 0).bstrVal[0] = u'b';
  EXPECT_EQ(std::u16string_view(At(sourceInner.parray, 1).bstrVal), u"y");
  EXPECT_EQ(std::u16string_view(At(source.parray, 0).bstrVal), u"a");

  VariantClear(&z);
  EXPECT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(VariantClear(&source), S_OK);
}

TEST(Variant, CopyIntoItselfOrFromInsideTheDestination) {
  VARIANT v = StringVariant(u"same");
  const BSTR before = v.bstrVal;
  EXPECT_EQ(VariantCopy(&v, &v), S_OK);
  EXPECT_EQ(v.bstrVal, before);
  VariantClear(&v);

  // The source is an element of the array the destination owns.
  VARIANT element = StringVariant(u"inside");
  VARIANT holder;
  VariantInit(&holder);
  holder.vt = VT_ARRAY | VT_VARIANT;
  holder.parray = VariantVector({element});
  VariantClear(&element);
  ASSERT_EQ(VariantCopy(&holder, &At(holder.parray, 0)), S_OK);
  ASSERT_EQ(holder.vt, VT_BSTR);
  EXPECT_EQ(std::u16string_view(holder.bstrVal), u"inside");
  VariantClear(&holder);
}

TEST(Variant, ByReferenceValuesAreSharedNotOwned) {
  BSTR text = SysAllocString(u"caller's");
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_BSTR;
  ref.pbstrVal = &text;
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &ref), S_OK);
  EXPECT_EQ(copy.pbstrVal, &text);
  EXPECT_EQ(VariantClear(&copy), S_OK);
  EXPECT_EQ(VariantClear(&ref), S_OK);
  EXPECT_EQ(ref.vt, VT_EMPTY);
  EXPECT_EQ(std::u16string_view(text), u"caller's");  // ASan: still alive
  SysFreeString(text);

  SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 1);
  ref.vt = VT_BYREF | VT_ARRAY | VT_I4;
  ref.pparray = &array;
  ASSERT_EQ(VariantCopy(&copy, &ref), S_OK);
  EXPECT_EQ(copy.pparray, &array);
  VariantClear(&copy);
  VariantClear(&ref);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);  // ASan: not destroyed twice
}

TEST(Variant, InterfacesAreCountedThroughTheirVtable) {
  kiv::testing::FakeUnknown object;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH;
  v.pdispVal = reinterpret_cast<IDispatch*>(object.get());
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
  EXPECT_EQ(object.refs(), 2u);
  VariantClear(&copy);
  EXPECT_EQ(object.refs(), 1u);

  IUnknown* slot = object.get();
  VARIANT ref;
  VariantInit(&ref);
  ref.vt = VT_BYREF | VT_UNKNOWN;
  ref.ppunkVal = &slot;
  ASSERT_EQ(VariantCopy(&copy, &ref), S_OK);
  VariantClear(&copy);
  VariantClear(&ref);
  EXPECT_EQ(object.refs(), 1u);
}

TEST(Variant, DecimalIsCopiedWhole) {
  VARIANT v;
  VariantInit(&v);
  v.decVal.Hi32 = 7;
  v.decVal.Lo64 = 0x123456789ull;
  v.decVal.scale = 3;
  v.vt = VT_DECIMAL;  // shares its word with DECIMAL::wReserved
  VARIANT copy;
  VariantInit(&copy);
  ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
  EXPECT_EQ(std::memcmp(&copy, &v, sizeof v), 0);
}

}  // namespace

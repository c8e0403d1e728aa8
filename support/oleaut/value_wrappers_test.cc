#include <gtest/gtest.h>

#include "kiv/value.h"

namespace {

using kiv::Bstr;
using kiv::SafeArrayAccess;
using kiv::SafeArrayPtr;
using kiv::Variant;

TEST(ValueWrappers, BstrCopiesDeepAndMovesOwnership) {
  Bstr a(u"text");
  Bstr b = a;
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(b.view(), u"text");
  const BSTR raw = a.get();
  Bstr c = std::move(a);
  EXPECT_EQ(c.get(), raw);
  EXPECT_EQ(a.get(), nullptr);
  EXPECT_EQ(a.view(), u"");
  b = c;  // old string of b freed (ASan)
  EXPECT_EQ(b.str(), u"text");
  Bstr attached = Bstr::Attach(c.Detach());
  EXPECT_EQ(attached.get(), raw);
  EXPECT_EQ(c.get(), nullptr);
}

TEST(ValueWrappers, VariantCopiesDeepAndMovesOwnership) {
  Variant s = Variant::String(u"abc");
  Variant copy = s;
  ASSERT_EQ(copy.vt(), VT_BSTR);
  EXPECT_NE(copy->bstrVal, s->bstrVal);
  const BSTR raw = s->bstrVal;
  Variant moved = std::move(s);
  EXPECT_EQ(moved->bstrVal, raw);
  EXPECT_EQ(s.vt(), VT_EMPTY);
  copy = Variant::I4(7);  // the copied string is freed (ASan)
  EXPECT_EQ(copy->lVal, 7);
  copy = moved;
  EXPECT_NE(copy->bstrVal, raw);
}

TEST(ValueWrappers, AdoptReceiveDetach) {
  VARIANT raw;
  VariantInit(&raw);
  raw.vt = VT_BSTR;
  raw.bstrVal = SysAllocString(u"raw");
  Variant owner = Variant::Adopt(raw);
  EXPECT_EQ(raw.vt, VT_EMPTY);
  EXPECT_EQ(owner.vt(), VT_BSTR);

  // Receive frees the old string before handing the slot out (ASan).
  VARIANT* slot = owner.Receive();
  EXPECT_EQ(slot->vt, VT_EMPTY);
  ASSERT_EQ(VariantCopy(slot, Variant::String(u"filled").get()), S_OK);
  VARIANT out = owner.Detach();
  EXPECT_EQ(owner.vt(), VT_EMPTY);
  EXPECT_EQ(std::u16string_view(out.bstrVal), u"filled");
  VariantClear(&out);

  Variant array = Variant::Adopt(SafeArrayCreateVector(VT_BSTR, 0, 1), VT_BSTR);
  EXPECT_EQ(array.vt(), VT_ARRAY | VT_BSTR);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(array->parray, &index, Bstr(u"in array").get()), S_OK);
  Variant arrayCopy = Variant::CopyOf(*array);
  EXPECT_NE(arrayCopy->parray, array->parray);
}

TEST(ValueWrappers, SafeArrayOwnerAndAccess) {
  SafeArrayPtr array(SafeArrayCreateVector(VT_I4, 0, 3));
  ASSERT_TRUE(array);
  {
    SafeArrayAccess access(array.get());
    ASSERT_TRUE(access.ok());
    EXPECT_EQ(access.data(), array.get()->pvData);
    access.as<LONG>()[2] = 9;
    EXPECT_EQ(array.get()->cLocks, 1u);
    SafeArrayAccess nested(array.get());
    EXPECT_EQ(array.get()->cLocks, 2u);
  }
  EXPECT_EQ(array.get()->cLocks, 0u);
  SafeArrayAccess none(nullptr);
  EXPECT_FALSE(none.ok());
  EXPECT_EQ(none.data(), nullptr);

  SafeArrayPtr moved = std::move(array);
  EXPECT_FALSE(array);
  SAFEARRAY* raw = moved.release();
  EXPECT_FALSE(moved);
  moved.reset(raw);  // destroyed by the owner at scope end (ASan)
  EXPECT_EQ(moved.get(), raw);
}

}  // namespace

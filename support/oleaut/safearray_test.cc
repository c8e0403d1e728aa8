#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kiv/oleaut.h"
#include "support/oleaut/fake_unknown.h"
#include "support/oleaut/safearray_internal.h"

namespace {

std::u16string_view View(BSTR s) {
  return {s, SysStringLen(s)};
}

TEST(SafeArray, BoundsAreStoredLastDimensionFirst) {
  for (UINT dims : {1u, 2u, 10u}) {
    std::vector<SAFEARRAYBOUND> bounds;
    for (UINT d = 0; d < dims; ++d) bounds.push_back({d % 3 + 1, static_cast<LONG>(d) * 10 - 5});
    SAFEARRAY* array = SafeArrayCreate(VT_I2, dims, bounds.data());
    ASSERT_NE(array, nullptr) << dims;
    EXPECT_EQ(SafeArrayGetDim(array), dims);
    for (UINT d = 0; d < dims; ++d) {
      LONG lb = 0, ub = 0;
      EXPECT_EQ(SafeArrayGetLBound(array, d + 1, &lb), S_OK);
      EXPECT_EQ(SafeArrayGetUBound(array, d + 1, &ub), S_OK);
      EXPECT_EQ(lb, bounds[d].lLbound);
      EXPECT_EQ(ub, bounds[d].lLbound + static_cast<LONG>(bounds[d].cElements) - 1);
      EXPECT_EQ(array->rgsabound[dims - 1 - d].cElements, bounds[d].cElements);
    }
    LONG unused;
    EXPECT_EQ(SafeArrayGetLBound(array, 0, &unused), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayGetUBound(array, dims + 1, &unused), DISP_E_BADINDEX);
    EXPECT_EQ(SafeArrayDestroy(array), S_OK);
  }
}

TEST(SafeArray, DescribesItsElementType) {
  struct Case {
    VARTYPE vt;
    ULONG size;
    USHORT feature;
  };
  for (const Case& c :
       {Case{VT_UI1, 1, 0}, Case{VT_BOOL, 2, 0}, Case{VT_ERROR, 4, 0}, Case{VT_CY, 8, 0},
        Case{VT_DECIMAL, 16, 0}, Case{VT_BSTR, 8, FADF_BSTR}, Case{VT_UNKNOWN, 8, FADF_UNKNOWN},
        Case{VT_DISPATCH, 8, FADF_DISPATCH}, Case{VT_VARIANT, 24, FADF_VARIANT}}) {
    SAFEARRAY* array = SafeArrayCreateVector(c.vt, 0, 2);
    ASSERT_NE(array, nullptr) << c.vt;
    VARTYPE vt = VT_EMPTY;
    EXPECT_EQ(SafeArrayGetVartype(array, &vt), S_OK);
    EXPECT_EQ(vt, c.vt);
    EXPECT_EQ(SafeArrayGetElemsize(array), c.size);
    EXPECT_EQ(array->fFeatures, FADF_HAVEVARTYPE | c.feature) << c.vt;
    SafeArrayDestroy(array);
  }
}

// Dimension 1 varies fastest in the data block.
TEST(SafeArray, ElementOffsetsPutDimensionOneFastest) {
  const SAFEARRAYBOUND bounds2[] = {{3, -1}, {4, 5}};
  const SAFEARRAYBOUND bounds3[] = {{2, 0}, {3, 1}, {4, -2}};
  for (const auto& [dims, bounds] : {std::pair{2u, bounds2}, std::pair{3u, bounds3}}) {
    SAFEARRAY* array = SafeArrayCreate(VT_I4, dims, bounds);
    ASSERT_NE(array, nullptr);
    void* data = nullptr;
    ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
    std::size_t total = 1;
    for (UINT d = 0; d < dims; ++d) total *= bounds[d].cElements;
    LONG index[3] = {};
    for (std::size_t expected = 0; expected < total; ++expected) {
      std::size_t rest = expected;
      for (UINT d = 0; d < dims; ++d) {
        index[d] = bounds[d].lLbound + static_cast<LONG>(rest % bounds[d].cElements);
        rest /= bounds[d].cElements;
      }
      void* p = nullptr;
      ASSERT_EQ(SafeArrayPtrOfIndex(array, index, &p), S_OK);
      EXPECT_EQ(p, static_cast<char*>(data) + 4 * expected);
    }
    index[dims - 1] = bounds[dims - 1].lLbound + static_cast<LONG>(bounds[dims - 1].cElements);
    void* p = nullptr;
    EXPECT_EQ(SafeArrayPtrOfIndex(array, index, &p), DISP_E_BADINDEX);
    index[0] = bounds[0].lLbound - 1;
    EXPECT_EQ(SafeArrayPtrOfIndex(array, index, &p), DISP_E_BADINDEX);
    SafeArrayUnaccessData(array);
    SafeArrayDestroy(array);
  }
}

TEST(SafeArray, RefusesBadShapes) {
  std::vector<SAFEARRAYBOUND> eleven(11, SAFEARRAYBOUND{1, 0});
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, eleven.data()), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 11, eleven.data()), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 1, nullptr), nullptr);
  for (VARTYPE vt : {VARTYPE{VT_EMPTY}, VARTYPE{VT_NULL}, VARTYPE{VT_RECORD},
                     VARTYPE{VT_ARRAY | VT_I4}, VARTYPE{VT_BYREF | VT_I4}}) {
    EXPECT_EQ(SafeArrayCreateVector(vt, 0, 1), nullptr) << vt;
  }
  const SAFEARRAYBOUND pastCount[] = {{0x10000, 0}, {0x10000, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_UI1, 2, pastCount), nullptr);
  const SAFEARRAYBOUND pastCount3[] = {{0x800, 0}, {0x800, 0}, {0x1000, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_UI1, 3, pastCount3), nullptr);

  // A zero count makes the array empty however large the others are.
  const SAFEARRAYBOUND empty[] = {{0xFFFFFFFF, 0}, {0xFFFFFFFF, 0}, {0, 0}};
  SAFEARRAY* array = SafeArrayCreate(VT_VARIANT, 3, empty);
  ASSERT_NE(array, nullptr);
  EXPECT_NE(array->pvData, nullptr);
  LONG index[3] = {};
  void* p;
  EXPECT_EQ(SafeArrayPtrOfIndex(array, index, &p), DISP_E_BADINDEX);
  SafeArrayDestroy(array);
}

TEST(SafeArray, ElementAccessCopiesStringsAndVariants) {
  SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 1, 2);
  LONG index = 1;
  BSTR text = SysAllocString(u"first");
  ASSERT_EQ(SafeArrayPutElement(strings, &index, text), S_OK);
  SysFreeString(text);  // the array holds its own copy
  BSTR out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(strings, &index, &out), S_OK);
  EXPECT_EQ(View(out), u"first");
  EXPECT_NE(out, static_cast<BSTR*>(strings->pvData)[0]);
  SysFreeString(out);
  index = 2;
  ASSERT_EQ(SafeArrayGetElement(strings, &index, &out), S_OK);
  EXPECT_EQ(out, nullptr);  // zero-initialised
  index = 3;
  EXPECT_EQ(SafeArrayPutElement(strings, &index, text), DISP_E_BADINDEX);
  index = 0;
  EXPECT_EQ(SafeArrayGetElement(strings, &index, &out), DISP_E_BADINDEX);
  SafeArrayDestroy(strings);

  SAFEARRAY* variants = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  index = 0;
  VARIANT v;
  VariantInit(&v);
  ASSERT_EQ(SafeArrayGetElement(variants, &index, &v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"deep");
  ASSERT_EQ(SafeArrayPutElement(variants, &index, &v), S_OK);
  VariantClear(&v);
  ASSERT_EQ(SafeArrayGetElement(variants, &index, &v), S_OK);
  EXPECT_EQ(View(v.bstrVal), u"deep");
  EXPECT_NE(v.bstrVal, static_cast<VARIANT*>(variants->pvData)->bstrVal);
  VariantClear(&v);
  EXPECT_EQ(SafeArrayPutElement(variants, &index, nullptr), E_INVALIDARG);
  SafeArrayDestroy(variants);
}

TEST(SafeArray, InterfaceElementsHoldReferences) {
  kiv::testing::FakeUnknown a, b;
  SAFEARRAY* objects = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
  LONG index = 0;
  ASSERT_EQ(SafeArrayPutElement(objects, &index, a.get()), S_OK);
  ASSERT_EQ(SafeArrayPutElement(objects, &index, a.get()), S_OK);
  EXPECT_EQ(a.refs(), 2u);
  index = 1;
  ASSERT_EQ(SafeArrayPutElement(objects, &index, b.get()), S_OK);
  IUnknown* out = nullptr;
  ASSERT_EQ(SafeArrayGetElement(objects, &index, &out), S_OK);
  EXPECT_EQ(out, b.get());
  EXPECT_EQ(b.refs(), 3u);
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(objects, &copy), S_OK);
  EXPECT_EQ(a.refs(), 3u);
  SafeArrayDestroy(copy);
  SafeArrayDestroy(objects);
  EXPECT_EQ(a.refs(), 1u);
  EXPECT_EQ(b.refs(), 2u);  // the reference GetElement handed out remains
}

TEST(SafeArray, RedimCutsAndZeroesTheLastDimension) {
  // Two rows (dimension 2) of three strings (dimension 1).
  const SAFEARRAYBOUND bounds[] = {{3, 0}, {2, 0}};
  SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 2, bounds);
  for (LONG row = 0; row < 2; ++row) {
    for (LONG col = 0; col < 3; ++col) {
      const LONG index[] = {col, row};
      const std::u16string text{static_cast<char16_t>(u'a' + row * 3 + col)};
      BSTR s = SysAllocString(text.c_str());
      ASSERT_EQ(SafeArrayPutElement(array, index, s), S_OK);
      SysFreeString(s);
    }
  }
  SAFEARRAYBOUND shrink{1, 0};
  ASSERT_EQ(SafeArrayRedim(array, &shrink), S_OK);  // ASan: row 1 is freed
  SAFEARRAYBOUND grow{3, 4};
  ASSERT_EQ(SafeArrayRedim(array, &grow), S_OK);
  LONG lb, ub;
  SafeArrayGetLBound(array, 2, &lb);
  SafeArrayGetUBound(array, 2, &ub);
  EXPECT_EQ(lb, 4);
  EXPECT_EQ(ub, 6);
  SafeArrayGetUBound(array, 1, &ub);
  EXPECT_EQ(ub, 2);
  const BSTR* data = static_cast<BSTR*>(array->pvData);
  EXPECT_EQ(View(data[0]), u"a");
  EXPECT_EQ(View(data[2]), u"c");
  for (int i = 3; i < 9; ++i) EXPECT_EQ(data[i], nullptr) << i;
  SafeArrayDestroy(array);
}

TEST(SafeArray, LockedArraysRefuseDestroyAndRedim) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 4);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
  EXPECT_EQ(data, array->pvData);
  ASSERT_EQ(SafeArrayLock(array), S_OK);
  EXPECT_EQ(array->cLocks, 2u);
  SAFEARRAYBOUND bound{8, 0};
  EXPECT_EQ(SafeArrayRedim(array, &bound), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnlock(array), S_OK);
  EXPECT_EQ(SafeArrayUnaccessData(array), S_OK);
  EXPECT_EQ(SafeArrayUnlock(array), E_UNEXPECTED);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(SafeArray, ConcurrentReadersCountLocksExactly) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 1);
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([array] {
      for (int i = 0; i < 20000; ++i) {
        void* data;
        if (SafeArrayAccessData(array, &data) != S_OK) return;
        SafeArrayUnaccessData(array);
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(array->cLocks, 0u);
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(SafeArray, CopyIsDeep) {
  const SAFEARRAYBOUND bounds[] = {{2, -3}, {1, 7}};
  SAFEARRAY* source = SafeArrayCreate(VT_BSTR, 2, bounds);
  const LONG index[] = {-2, 7};
  BSTR text = SysAllocString(u"src");
  SafeArrayPutElement(source, index, text);
  SysFreeString(text);
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(source, &copy), S_OK);
  VARTYPE vt;
  ASSERT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
  EXPECT_EQ(vt, VT_BSTR);
  EXPECT_EQ(std::memcmp(copy->rgsabound, source->rgsabound, 2 * sizeof(SAFEARRAYBOUND)), 0);
  BSTR* slot;
  ASSERT_EQ(SafeArrayPtrOfIndex(copy, index, reinterpret_cast<void**>(&slot)), S_OK);
  (*slot)[0] = u'X';
  BSTR original = nullptr;
  SafeArrayGetElement(source, index, &original);
  EXPECT_EQ(View(original), u"src");
  SysFreeString(original);
  SafeArrayDestroy(copy);
  SafeArrayDestroy(source);

  EXPECT_EQ(SafeArrayCopy(nullptr, &copy), S_OK);
  EXPECT_EQ(copy, nullptr);
}

TEST(SafeArray, AdoptsAMallocBlock) {
  const SAFEARRAYBOUND bounds[] = {{2, 0}};
  auto* strings = static_cast<BSTR*>(std::malloc(2 * sizeof(BSTR)));
  strings[0] = SysAllocString(u"one");
  strings[1] = nullptr;
  SAFEARRAY* array = SafeArrayCreateAdopting(VT_BSTR, 1, bounds, strings);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->pvData, strings);
  EXPECT_EQ(array->fFeatures, FADF_HAVEVARTYPE | FADF_BSTR);
  SafeArrayDestroy(array);  // ASan: frees the string and the block

  void* block = std::malloc(8);
  EXPECT_EQ(SafeArrayCreateAdopting(VT_I4, 0, bounds, block), nullptr);
  EXPECT_EQ(SafeArrayCreateAdopting(VT_I4, 1, bounds, nullptr), nullptr);
  std::free(block);  // still ours after a refusal

  const SAFEARRAYBOUND none[] = {{0, 0}};
  array = SafeArrayCreateAdopting(VT_I4, 1, none, nullptr);
  ASSERT_NE(array, nullptr);
  SafeArrayDestroy(array);
}

}  // namespace

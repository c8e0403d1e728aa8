#include "kiv/oleaut.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kiv/value.h"
#include "support/oleaut/safearray_internal.h"

namespace {

// Its first virtual functions sit where a COM layer declares QueryInterface,
// AddRef and Release, so the tests also prove the calls use the right slots.
class FakeUnknown {
 public:
  virtual HRESULT QueryInterface(const void*, void**) { return E_NOTIMPL; }
  virtual ULONG AddRef() { return ++refs; }
  virtual ULONG Release() { return --refs; }
  IUnknown* get() { return reinterpret_cast<IUnknown*>(this); }
  ULONG refs = 1;
};

TEST(Bstr, ByteLengthBeforeAndAZeroUnitAfterTheText) {
  const OLECHAR text[] = u"abc\0de";  // embedded zero unit
  for (UINT units : {0u, 2u, 6u}) {
    SCOPED_TRACE(units);
    BSTR s = SysAllocStringLen(text, units);
    ASSERT_NE(s, nullptr);
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(s) - 4, 4);
    EXPECT_EQ(prefix, 2 * units);
    EXPECT_EQ(SysStringByteLen(s), 2 * units);
    EXPECT_EQ(SysStringLen(s), units);
    EXPECT_EQ(std::u16string_view(s, units), std::u16string_view(text, units));
    EXPECT_EQ(s[units], 0);
    SysFreeString(s);
  }
  const kiv::Bstr zeroed = kiv::Bstr::Attach(SysAllocStringLen(nullptr, 3));
  EXPECT_EQ(zeroed.view(), std::u16string(3, u'\0'));
  EXPECT_EQ(zeroed.get()[3], 0);
  // An odd byte length keeps its bytes; a whole zero unit follows the partial one.
  const kiv::Bstr odd = kiv::Bstr::Attach(SysAllocStringByteLen("xyz", 3));
  EXPECT_EQ(SysStringByteLen(odd.get()), 3u);
  EXPECT_EQ(odd.size(), 1u);
  EXPECT_EQ(std::memcmp(odd.get(), "xyz\0\0", 5), 0);
}

std::u16string View(BSTR s) {
  return s == nullptr ? u"(null)" : std::u16string(s, SysStringLen(s));
}

TEST(SafeArray, TakesUpToTenDimensionsAndRefusesBadShapes) {
  const std::vector<SAFEARRAYBOUND> ones(11, SAFEARRAYBOUND{1, 0});
  SAFEARRAY* tenDims = SafeArrayCreate(VT_I4, 10, ones.data());
  EXPECT_NE(tenDims, nullptr);
  EXPECT_EQ(SafeArrayDestroy(tenDims), S_OK);
  const SAFEARRAYBOUND pastCount[] = {{0x10000, 0}, {0x10000, 0}};
  EXPECT_EQ(SafeArrayCreate(VT_I4, 11, ones.data()), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 0, ones.data()), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_I4, 1, nullptr), nullptr);
  EXPECT_EQ(SafeArrayCreateVector(VT_RECORD, 0, 1), nullptr);
  EXPECT_EQ(SafeArrayCreate(VT_UI1, 2, pastCount), nullptr);
  // A zero count makes the array empty however large the others are.
  const SAFEARRAYBOUND emptyOfAnySize[] = {{0xFFFFFFFF, 0}, {0xFFFFFFFF, 0}, {0, 0}};
  SAFEARRAY* empty = SafeArrayCreate(VT_VARIANT, 3, emptyOfAnySize);
  ASSERT_NE(empty, nullptr);
  EXPECT_NE(empty->pvData, nullptr);
  EXPECT_EQ(SafeArrayDestroy(empty), S_OK);
}

// Strings and variants are copied in and out (VUtil's tests read them back);
// objects are referenced once per stored slot and per copy.
TEST(SafeArray, ElementAccessCountsObjectReferences) {
  SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 1, 1);
  LONG index = 1;
  BSTR out = SysAllocString(u"overwritten");
  BSTR kept = out;
  ASSERT_EQ(SafeArrayPutElement(strings, &index, out), S_OK);
  ASSERT_EQ(SafeArrayGetElement(strings, &index, &out), S_OK);
  EXPECT_NE(out, kept);
  EXPECT_NE(out, static_cast<BSTR*>(strings->pvData)[0]);
  EXPECT_EQ(View(out) + View(kept), u"overwrittenoverwritten");
  SysFreeString(out);
  SysFreeString(kept);
  SAFEARRAY* variants = SafeArrayCreateVector(VT_VARIANT, 1, 1);
  EXPECT_EQ(SafeArrayPutElement(variants, &index, nullptr), E_INVALIDARG);
  EXPECT_EQ(SafeArrayDestroy(strings) | SafeArrayDestroy(variants), S_OK);

  FakeUnknown a, b;
  SAFEARRAY* objects = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
  ASSERT_EQ(SafeArrayPutElement(objects, &(index = 0), a.get()), S_OK);
  ASSERT_EQ(SafeArrayPutElement(objects, &index, a.get()), S_OK);  // the same object again
  ASSERT_EQ(SafeArrayPutElement(objects, &(index = 1), b.get()), S_OK);
  IUnknown* got = nullptr;
  ASSERT_EQ(SafeArrayGetElement(objects, &index, &got), S_OK);
  EXPECT_EQ(got, b.get());
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(objects, &copy), S_OK);
  EXPECT_EQ(std::make_pair(a.refs, b.refs), std::make_pair(3u, 4u));
  SafeArrayDestroy(copy);
  SafeArrayDestroy(objects);
  EXPECT_EQ(std::make_pair(a.refs, b.refs), std::make_pair(1u, 2u));  // GetElement's stays
}

TEST(SafeArray, CopyIsDeepAndRedimCutsAndZeroesTheLastDimension) {
  const SAFEARRAYBOUND bounds[] = {{3, -1}, {2, 7}};  // two rows of three
  SAFEARRAY* array = SafeArrayCreate(VT_BSTR, 2, bounds);
  BSTR* data = static_cast<BSTR*>(array->pvData);
  for (int i = 0; i < 6; ++i) data[i] = SysAllocStringLen(&u"abcdef"[i], 1);
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(array, &copy), S_OK);
  VARTYPE vt = VT_EMPTY;
  LONG lb = 0, ub = 0;
  EXPECT_EQ(SafeArrayGetVartype(copy, &vt) | SafeArrayGetUBound(copy, 2, &ub), S_OK);
  EXPECT_EQ(std::make_pair(vt, ub), std::make_pair(VARTYPE{VT_BSTR}, LONG{8}));
  static_cast<BSTR*>(copy->pvData)[5][0] = u'X';
  EXPECT_EQ(View(static_cast<BSTR*>(copy->pvData)[4]) + View(data[5]), u"ef");
  SafeArrayDestroy(copy);
  EXPECT_EQ(SafeArrayCopy(nullptr, &copy), S_OK);
  EXPECT_EQ(copy, nullptr);

  SAFEARRAYBOUND shrink{1, 0}, grow{3, 4};
  ASSERT_EQ(SafeArrayRedim(array, &shrink), S_OK);
  ASSERT_EQ(SafeArrayRedim(array, &grow), S_OK);
  SafeArrayGetLBound(array, 2, &lb);
  SafeArrayGetUBound(array, 2, &ub);
  EXPECT_EQ(std::make_pair(lb, ub), std::make_pair(4, 6));
  data = static_cast<BSTR*>(array->pvData);
  std::u16string texts;
  for (int i = 0; i < 9; ++i) texts += View(data[i]) + u",";
  EXPECT_EQ(texts, u"a,b,c,(null),(null),(null),(null),(null),(null),");
  SafeArrayDestroy(array);
}

// Large elements start 32 bytes before a page boundary, where the kernel
// copies them to and from sockets fast, and keep their values through every
// change of block.
TEST(SafeArray, LargeElementsArePlacedAndKeptThroughCopyAndRedim) {
  const auto placed = [](const SAFEARRAY* array) {
    return reinterpret_cast<std::uintptr_t>(array->pvData) % 4096 == 4064;
  };
  const auto pattern = [](const SAFEARRAY* array, std::size_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(array->pvData);
    for (std::size_t i = 0; i < count; ++i) {
      if (bytes[i] != static_cast<std::uint8_t>(i * 7 + 1)) return false;
    }
    return true;
  };
  constexpr ULONG kCount = 100000;
  SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, kCount);
  ASSERT_NE(array, nullptr);
  EXPECT_TRUE(placed(array));
  for (ULONG i = 0; i < kCount; ++i) static_cast<std::uint8_t*>(array->pvData)[i] = i * 7 + 1;
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(array, &copy), S_OK);
  EXPECT_TRUE(placed(copy) && pattern(copy, kCount));
  SafeArrayDestroy(copy);
  SAFEARRAYBOUND grow{4 * kCount, 0}, shrink{kCount / 2, 0};
  ASSERT_EQ(SafeArrayRedim(array, &grow), S_OK);
  const auto* added = static_cast<const std::uint8_t*>(array->pvData) + kCount;
  EXPECT_TRUE(pattern(array, kCount) &&
              std::all_of(added, added + 3 * kCount, [](auto b) { return b == 0; }));
  ASSERT_EQ(SafeArrayRedim(array, &shrink), S_OK);
  EXPECT_TRUE(pattern(array, kCount / 2));
  SafeArrayDestroy(array);
}

TEST(SafeArray, LocksKeepTheArrayInPlaceAndCountWithinTheirRange) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 4);
  void* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(array, &data), S_OK);
  EXPECT_EQ(data, array->pvData);
  SAFEARRAYBOUND bound{8, 0};
  EXPECT_EQ(SafeArrayRedim(array, &bound), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayDestroy(array), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(array), S_OK);
  EXPECT_EQ(SafeArrayUnlock(array), E_UNEXPECTED);
  array->cLocks = 0xFFFFFFFF;
  EXPECT_EQ(SafeArrayAccessData(array, &(data = nullptr)), E_UNEXPECTED);
  EXPECT_EQ(data, nullptr);
  array->cLocks = 0;
  EXPECT_EQ(SafeArrayDestroy(array), S_OK);
}

TEST(SafeArray, AdoptsAMallocBlockOrLeavesItToTheCaller) {
  const SAFEARRAYBOUND two[] = {{2, 0}}, none[] = {{0, 0}};
  auto* strings = static_cast<BSTR*>(std::calloc(2, sizeof(BSTR)));
  strings[0] = SysAllocString(u"one");
  SAFEARRAY* array = SafeArrayCreateAdopting(VT_BSTR, 1, two, strings);
  ASSERT_NE(array, nullptr);
  EXPECT_EQ(array->pvData, strings);
  EXPECT_EQ(array->fFeatures, FADF_HAVEVARTYPE | FADF_BSTR);
  SafeArrayDestroy(array);  // frees the string and the block
  void* block = std::malloc(8);
  EXPECT_EQ(SafeArrayCreateAdopting(VT_I4, 0, two, block), nullptr);
  EXPECT_EQ(SafeArrayCreateAdopting(VT_I4, 1, two, nullptr), nullptr);
  std::free(block);  // still ours after a refusal
  array = SafeArrayCreateAdopting(VT_I4, 1, none, nullptr);
  ASSERT_NE(array, nullptr);
  SafeArrayDestroy(array);
}

}  // namespace

// GUID layout, the standard ids, the vtable slot order as a C caller sees
// it, and the class factory's entry points.
#include "kiv/com.h"

#include <gtest/gtest.h>

#include <cstddef>

#include "com/class_factory.h"
#include "com/ref_counted.h"

namespace kiv::com {
namespace {

TEST(GuidTest, LayoutAndStandardIds) {
  EXPECT_EQ(offsetof(GUID, Data1), 0u);
  EXPECT_EQ(offsetof(GUID, Data2), 4u);
  EXPECT_EQ(offsetof(GUID, Data3), 6u);
  EXPECT_EQ(offsetof(GUID, Data4), 8u);
  // {B196B284-BAB4-101A-B69C-00AA00341D07} as little-endian bytes in memory.
  const unsigned char expected[16] = {0x84, 0xB2, 0x96, 0xB1, 0xB4, 0xBA, 0x1A, 0x10,
                                      0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07};
  EXPECT_EQ(std::memcmp(&IID_IConnectionPointContainer, expected, 16), 0);

  EXPECT_EQ(IID_IUnknown.Data1, 0u);
  EXPECT_EQ(IID_IUnknown.Data4[0], 0xC0);
  EXPECT_EQ(IID_IUnknown.Data4[7], 0x46);
  EXPECT_EQ(IID_IDispatch.Data1, 0x00020400u);
  EXPECT_EQ(IID_IClassFactory.Data1, 0x00000001u);
  EXPECT_EQ(IID_IConnectionPoint.Data1, 0xB196B286u);
  EXPECT_EQ(IID_IProvideClassInfo.Data1, 0xB196B283u);
  EXPECT_EQ(IID_IProvideClassInfo2.Data1, 0xA6BC3AC0u);
  EXPECT_EQ(IID_IProvideClassInfo2.Data2, 0xDBAA);
  EXPECT_EQ(IID_IProvideClassInfo2.Data3, 0x11CE);
  EXPECT_EQ(IID_ISupportErrorInfo.Data1, 0xDF0B3D60u);
  EXPECT_EQ(IID_ISupportErrorInfo.Data4[7], 0xF6);

  EXPECT_TRUE(IsEqualGUID(IID_IDispatch, IID_IDispatch));
  EXPECT_FALSE(IsEqualGUID(IID_IDispatch, IID_IUnknown));
  GUID lastByte = IID_IUnknown;
  lastByte.Data4[7] ^= 1;
  EXPECT_FALSE(IsEqualGUID(lastByte, IID_IUnknown));
  // The fixed ids of the library must all differ.
  const GUID* ours[] = {&LIBID_KIVLib,       &CLSID_KivIn,  &IID_IKivIn,
                        &DIID__IKivInEvents, &IID_IKivSink, &CLSID_KivSink};
  for (const GUID* a : ours) {
    for (const GUID* b : ours) EXPECT_EQ(a == b, IsEqualGUID(*a, *b));
  }
}

// Records which method a call through a raw slot reached.
struct SlotProbe final : IDispatch {
  int last = -1;
  HRESULT QueryInterface(REFIID, void**) override { return last = 0, S_OK; }
  ULONG AddRef() override { return last = 1, 0; }
  ULONG Release() override { return last = 2, 0; }
  HRESULT GetTypeInfoCount(UINT*) override { return last = 3, S_OK; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return last = 4, S_OK; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return last = 5, S_OK; }
  HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return last = 6, S_OK;
  }
};

TEST(VtableTest, SlotsAreInComOrderFromZero) {
  SlotProbe probe;
  // A C client sees the object as a pointer to a table of function pointers
  // taking the object first (System V convention).
  auto** table = *reinterpret_cast<void***>(static_cast<IDispatch*>(&probe));
  using Thunk = long (*)(void*, void*);
  for (int slot = 0; slot < 7; ++slot) {
    UINT ignored = 0;
    reinterpret_cast<Thunk>(table[slot])(&probe, &ignored);
    EXPECT_EQ(probe.last, slot);
  }
}

HRESULT FakeCreate(IUnknown*, REFIID, void** ppv) {
  static int object;
  *ppv = &object;
  return S_OK;
}

TEST(ClassFactoryTest, EntryPointsAndAggregationRule) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(CLSID_KivSink, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(DllGetClassObject(IID_IDispatch, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(DllGetClassObject(CLSID_KivIn, IID_IDispatch, &out), E_NOINTERFACE);
  ASSERT_EQ(DllGetClassObject(CLSID_KivIn, IID_IClassFactory, &out), S_OK);
  auto* factory = static_cast<IClassFactory*>(out);
  ASSERT_NE(factory, nullptr);

  SlotProbe outer;
  void* created = reinterpret_cast<void*>(1);
  EXPECT_EQ(FactoryCreateInstance(&FakeCreate, &outer, IID_IDispatch, &created),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(created, nullptr);
  EXPECT_EQ(FactoryCreateInstance(&FakeCreate, &outer, IID_IUnknown, &created), S_OK);
  EXPECT_NE(created, nullptr);
  EXPECT_EQ(FactoryCreateInstance(&FakeCreate, nullptr, IID_IDispatch, &created), S_OK);
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IDispatch, &created), CLASS_E_NOAGGREGATION);

  // Server locks and live objects both hold the module.
  ASSERT_EQ(DllCanUnloadNow(), S_OK);
  EXPECT_EQ(factory->LockServer(1), S_OK);
  EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  {
    ModuleLock object;
    EXPECT_EQ(factory->LockServer(0), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);
  }
  EXPECT_EQ(DllCanUnloadNow(), S_OK);
  factory->Release();
}

}  // namespace
}  // namespace kiv::com

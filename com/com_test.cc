// The class factory's entry points, the module's lock count and the text
// form of a GUID. The interfaces' binary layout is exercised end to end by
// the Python client (python_client_test.cc).
#include <gtest/gtest.h>

#include "com/class_factory.h"
#include "com/ref_counted.h"
#include "com/type_library.h"

namespace kiv::com {
namespace {

HRESULT FakeCreate(IUnknown*, REFIID, void** ppv) {
  static int object;
  *ppv = &object;
  return S_OK;
}

TEST(ClassFactoryTest, EntryPointsAggregationRuleAndModuleLocks) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject(CLSID_KivSink, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(DllGetClassObject(CLSID_KivIn, IID_IDispatch, &out), E_NOINTERFACE);
  ASSERT_EQ(DllGetClassObject(CLSID_KivIn, IID_IClassFactory, &out), S_OK);
  auto* factory = static_cast<IClassFactory*>(out);
  ASSERT_NE(factory, nullptr);

  IUnknown* outer = factory;  // any object serves as the outer one
  void* created = reinterpret_cast<void*>(1);
  EXPECT_EQ(FactoryCreateInstance(&FakeCreate, outer, IID_IDispatch, &created),
            CLASS_E_NOAGGREGATION);
  EXPECT_EQ(created, nullptr);
  EXPECT_EQ(FactoryCreateInstance(&FakeCreate, outer, IID_IUnknown, &created), S_OK);
  EXPECT_NE(created, nullptr);
  EXPECT_EQ(factory->CreateInstance(outer, IID_IDispatch, &created), CLASS_E_NOAGGREGATION);

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
}

TEST(GuidTextTest, UpperCaseWithOrWithoutBraces) {
  EXPECT_EQ(GuidToString(IID_IProvideClassInfo2), "{A6BC3AC0-DBAA-11CE-9DE3-00AA004BB851}");
  EXPECT_EQ(GuidToString(IID_IDispatch, false), "00020400-0000-0000-C000-000000000046");
}

}  // namespace
}  // namespace kiv::com

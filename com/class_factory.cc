// KivIn's class factory and the two entry points that reach it.
#include "com/class_factory.h"

#include "com/kivin_factory.h"
#include "com/ref_counted.h"

namespace kiv::com {

namespace {

class KivInFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  // A static object: references do not decide its life.
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    return FactoryCreateInstance(&CreateKivInInstance, outer, riid, ppv);
  }

  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      LockModule();
    } else {
      UnlockModule();
    }
    return S_OK;
  }
};

KivInFactory gFactory;

}  // namespace

HRESULT FactoryCreateInstance(CreateFunction create, IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  return create(outer, riid, ppv);
}

IClassFactory* KivInClassFactory() {
  return &gFactory;
}

}  // namespace kiv::com

extern "C" KIV_API HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!IsEqualCLSID(rclsid, CLSID_KivIn)) return CLASS_E_CLASSNOTAVAILABLE;
  return kiv::com::KivInClassFactory()->QueryInterface(riid, ppv);
}

extern "C" KIV_API HRESULT DllCanUnloadNow() {
  return kiv::com::ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

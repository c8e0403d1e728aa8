// The registration record, and KivCreateServices / KivSetService that
// build the services value it carries.
#include "engine/registration_record.h"

#include <cstdint>
#include <new>

#include "engine/engine_object.h"
#include "kiv/kiv_exception.h"
#include "kiv/result_codes.h"
#include "kiv/vutil.h"

namespace kiv::engine {

namespace {

// The number of services: upper bound of dimension 1 plus one (0 for a
// negative bound), 0 when the value is no array; false when the bound
// cannot be read.
bool CountServices(const VARIANT& services, std::int32_t& count) {
  count = 0;
  if ((services.vt & VT_ARRAY) == 0) return true;
  SAFEARRAY* array = (services.vt & VT_BYREF) != 0
                         ? (services.pparray != nullptr ? *services.pparray : nullptr)
                         : services.parray;
  LONG upper = 0;
  if (array == nullptr || SafeArrayGetUBound(array, 1, &upper) != S_OK) return false;
  count = upper >= 0 ? static_cast<std::int32_t>(static_cast<std::int64_t>(upper) + 1) : 0;
  return true;
}

BSTR CopyText(std::u16string_view text, bool isNull, bool& ok) {
  if (isNull) return nullptr;
  BSTR copy = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  ok = ok && copy != nullptr;
  return copy;
}

}  // namespace

std::int32_t BuildRegistrationRecord(KIV* engine, const VARIANT* services, kiv::Variant& record) {
  VARIANT empty;
  VariantInit(&empty);
  const VARIANT& given = services != nullptr ? *services : empty;
  std::int32_t count = 0;
  if (!CountServices(given, count)) return KIV_RC_BAD_SERVICES_BOUNDS;

  kiv::SafeArrayPtr array(SafeArrayCreateVector(VT_VARIANT, 0, kRecordElements));
  if (!array) return KIV_RC_RECORD_NOT_BUILT;
  {
    kiv::SafeArrayAccess access(array.get());
    if (!access.ok()) return KIV_RC_RECORD_NOT_BUILT;
    VARIANT* element = access.as<VARIANT>();
    bool ok = true;
    {
      PScopedLock guard(&engine->identityLock);
      element[0].vt = VT_BSTR;
      element[0].bstrVal =
          CopyText(engine->satelliteName.view(), engine->satelliteName.get() == nullptr, ok);
      element[1].vt = VT_BSTR;
      element[1].bstrVal = CopyText(engine->computerName, false, ok);
      element[2].vt = VT_UI2;
      element[2].uiVal = engine->listenPort;
    }
    element[3].vt = VT_I4;
    element[3].lVal = 1;
    element[4].vt = VT_I4;
    element[4].lVal = engine->satelliteId.load();
    element[5].vt = VT_I4;
    element[5].lVal = count;
    if (!ok || VariantCopy(&element[6], &given) != S_OK) return KIV_RC_RECORD_NOT_BUILT;
  }
  record = kiv::Variant::Adopt(array.release(), VT_VARIANT);
  return KIV_OK;
}

}  // namespace kiv::engine

std::int32_t KivCreateServices(VARIANT* services, std::int32_t n) {
  if (services == nullptr) return kiv::KIV_OK;
  VariantClear(services);
  try {
    VUtil::CreateArray(*services, VT_VARIANT, n > 0 ? static_cast<ULONG>(n) : 0);
  } catch (const std::exception&) {
    return kiv::KIV_E_OUT_OF_MEMORY;
  }
  return kiv::KIV_OK;
}

std::int32_t KivSetService(VARIANT* services, std::int32_t index, BSTR name, BSTR description) {
  if (services == nullptr) throw KivInvalidParameterException(u"KivSetService: no services value");
  const auto text = [](BSTR value) {
    return std::u16string(value != nullptr ? value : u"", SysStringLen(value));
  };
  VUtil::PutPair(*services, index, text(name), text(description));
  return kiv::KIV_OK;
}

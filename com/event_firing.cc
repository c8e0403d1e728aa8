// Firing _IKivInEvents through the object's connection point, on the engine
// thread that delivered the call or status. Each client sink's Invoke runs
// under the fault guard: a handler that faults is reported as a crash and
// the call is answered KIVIN_RC_HANDLER_CRASHED instead of ending the
// process. Only the sink's Invoke runs inside the guard, so a fault leaves
// none of our own frames (references, argument copies) abandoned. A sink
// whose Invoke fails the COM way answers no value: DISP_E_EXCEPTION (the
// handler raised) and the type errors (a value had no form on one side) get
// codes of their own, so the caller never mistakes them for success.
#include <array>
#include <new>

#include "com/ckivin.h"
#include "com/kivin_codes.h"
#include "kiv/result_codes.h"
#include "kiv/value.h"
#include "support/crash/crash_guard.h"
#include "support/log/log.h"

namespace kiv::com {

namespace {

// The locale that dispatch calls pass when they have none (user default).
constexpr LCID kUserDefaultLocale = 0x400;

VARIANT I4(std::int32_t value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

std::u16string_view View(BSTR text) {
  return {text != nullptr ? text : u"", SysStringLen(text)};
}

// The caller's code for a sink whose Invoke failed with `hr`; KIV_OK for the
// failures that never meant the handler had run (an event the sink ignores).
std::int32_t SinkFailureCode(HRESULT hr) {
  switch (hr) {
    case DISP_E_EXCEPTION:
      return KIV_RC_HANDLER_RAISED;
    case DISP_E_TYPEMISMATCH:
    case DISP_E_BADVARTYPE:
    case DISP_E_OVERFLOW:
      return KIV_RC_VALUE_NOT_CONVERTIBLE;
    default:
      return KIV_OK;
  }
}

}  // namespace

std::int32_t CKivIn::FireServiceRequested(bool withSocketId, std::int32_t sd, BSTR source,
                                          BSTR serviceName, const VARIANT& inParams,
                                          VARIANT* outParams, std::int32_t* retCode) {
  try {
    // The five parameters of ServiceRequested (sd first for the second form),
    // stored last first as dispatch calls take them.
    Variant sourceCopy = Variant::String(View(source));
    Variant serviceCopy = Variant::String(View(serviceName));
    Variant inCopy = Variant::CopyOf(inParams);
    std::array<VARIANT, 6> args;
    args[0].vt = VT_BYREF | VT_I4;
    args[0].plVal = retCode;
    args[1].vt = VT_BYREF | VT_VARIANT;
    args[1].pvarVal = outParams;
    args[2] = *inCopy;
    args[3] = *serviceCopy;
    args[4] = *sourceCopy;
    args[5] = I4(sd);
    DISPPARAMS params{args.data(), nullptr, withSocketId ? 6u : 5u, 0};
    const DISPID event = withSocketId ? kEventServiceRequested2 : kEventServiceRequested;

    Variant result;
    bool failed = false;
    std::int32_t sinkFailure = KIV_OK;
    events_.ForEachSink([&](IUnknown* sink) {
      // A failed handler ends the firing, as if the guard enclosed it all.
      if (failed) return;
      auto* dispatch = static_cast<IDispatch*>(sink);
      VARIANT* out = result.Receive();
      // The guard writes the dump and starts the reporter when Invoke faults.
      const std::int32_t guarded = CallGuarded([&] {
        try {
          const HRESULT hr = dispatch->Invoke(event, IID_NULL, kUserDefaultLocale, DISPATCH_METHOD,
                                              &params, out, nullptr, nullptr);
          if (const std::int32_t code = SinkFailureCode(hr); code != KIV_OK) sinkFailure = code;
        } catch (...) {
          // A sink in this process that breaks the COM rule fails the call
          // the same way as one that faults, without a dump.
          failed = true;
        }
      });
      if (guarded == kGuardCrashResult) failed = true;
    });
    if (failed) return KIVIN_RC_HANDLER_CRASHED;
    if (sinkFailure != KIV_OK) {
      LogWarn(u"KivIn: the handler of %s failed (VARIANT type 0x%04X in); answering 0x%08X",
              std::u16string(View(serviceName)).c_str(), static_cast<unsigned>(inParams.vt),
              static_cast<unsigned>(sinkFailure));
      VariantClear(outParams);
      return sinkFailure;
    }
    return result.vt() != VT_EMPTY ? result->lVal : KIV_OK;
  } catch (const std::bad_alloc&) {
    return KIV_E_OUT_OF_MEMORY;
  }
}

void CKivIn::FireOnlineStatusUpdate(std::int32_t satId, std::int32_t status) {
  std::array<VARIANT, 2> args{I4(status), I4(satId)};
  DISPPARAMS params{args.data(), nullptr, 2, 0};
  try {
    events_.ForEachSink([&](IUnknown* sink) {
      static_cast<IDispatch*>(sink)->Invoke(kEventOnlineStatusUpdate, IID_NULL, kUserDefaultLocale,
                                            DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    });
  } catch (...) {
    // A status report has no answer to carry a failure; the next one retries.
  }
}

}  // namespace kiv::com

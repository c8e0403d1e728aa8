// Handler objects of a satellite's services. The service table owns one
// handler per service and calls it on engine worker threads, possibly on
// several at once for one handler, so handlers must be safe for that.
// A handler reads InParams (owned by the engine; never cleared or kept),
// fills OutParams (empty on entry) and returns the caller's result code.
// One that answers with InParams itself hands it over instead of copying
// it: `*outParams = inParams;` (the engine then frees it once).
#pragma once

#include <cstdint>

#include "kiv/export.h"
#include "kiv/oleaut.h"

// Virtual table fixed by the binary interface: destructor, then Invoke.
class KIV_API KivSatelliteDelegateGeneric {
 public:
  virtual ~KivSatelliteDelegateGeneric() = default;

  // source is the calling satellite's name, null-terminated.
  virtual std::int32_t Invoke(const char16_t* source, const VARIANT& inParams,
                              VARIANT* outParams) = 0;
};

// The plain-function form of a service handler.
using KivServiceFunction = std::int32_t (*)(const char16_t* source, const VARIANT& inParams,
                                            VARIANT* outParams);

// Passes every call to a plain function, arguments and result untouched.
// function must not be null.
class KIV_API KivSatelliteDelegateFunction : public KivSatelliteDelegateGeneric {
 public:
  explicit KivSatelliteDelegateFunction(KivServiceFunction function) : function_(function) {}

  std::int32_t Invoke(const char16_t* source, const VARIANT& inParams,
                      VARIANT* outParams) override {
    return function_(source, inParams, outParams);
  }

 private:
  KivServiceFunction function_;
};

// Passes every call to a member function of an object that outlives the
// handler; a convenience for classes that serve several services.
template <class T>
class KivSatelliteDelegateMember : public KivSatelliteDelegateGeneric {
 public:
  using Method = std::int32_t (T::*)(const char16_t* source, const VARIANT& inParams,
                                     VARIANT* outParams);

  KivSatelliteDelegateMember(T* object, Method method) : object_(object), method_(method) {}

  std::int32_t Invoke(const char16_t* source, const VARIANT& inParams,
                      VARIANT* outParams) override {
    return (object_->*method_)(source, inParams, outParams);
  }

 private:
  T* object_;
  Method method_;
};

// Handlers given to a directory ("MainRegister") satellite, which calls
// InvokeWithId, the slot right after Invoke, with the descriptor of the
// connection the request came on. Invoke, used when the same handler serves
// an ordinary satellite, forwards with sd -1 unless overridden.
class KIV_API KivSatelliteDelegateWithId : public KivSatelliteDelegateGeneric {
 public:
  static constexpr std::int32_t kNoConnection = -1;

  std::int32_t Invoke(const char16_t* source, const VARIANT& inParams,
                      VARIANT* outParams) override {
    return InvokeWithId(kNoConnection, source, inParams, outParams);
  }
  virtual std::int32_t InvokeWithId(std::int32_t sd, const char16_t* source,
                                    const VARIANT& inParams, VARIANT* outParams) = 0;
};

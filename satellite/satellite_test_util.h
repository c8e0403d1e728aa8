// Helpers for the KivSatellite tests: handlers from lambdas, a satellite
// whose services a lambda declares and which records its status reports and
// availability notices, and readers of the arrays the tests check.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "kiv/satellite.h"
#include "kiv/utf8.h"
#include "kiv/value.h"
#include "kiv/vutil.h"
#include "support/threads/mutex.h"

namespace kiv::satellitetest {

// Calls a function, with the connection's descriptor when a directory
// satellite calls it (kNoConnection otherwise).
class LambdaHandler : public KivSatelliteDelegateWithId {
 public:
  using Function = std::function<std::int32_t(std::int32_t sd, const char16_t* source,
                                              const VARIANT& in, VARIANT* out)>;
  explicit LambdaHandler(Function function) : function_(std::move(function)) {}
  std::int32_t InvokeWithId(std::int32_t sd, const char16_t* source, const VARIANT& in,
                            VARIANT* out) override {
    return function_(sd, source, in, out);
  }

 private:
  Function function_;
};

// Answers its input with code 0.
inline std::int32_t Echo(const char16_t*, const VARIANT& in, VARIANT* out) {
  return VariantCopy(out, &in) == S_OK ? 0 : -3;
}

// Lets tests throw a KivException with a code of their choice.
class CodedException : public KivException {
 public:
  CodedException(std::int32_t code, const char16_t* message) : KivException(code, message) {}
};

inline std::vector<std::int32_t> Ints(const VARIANT& array) {
  std::vector<std::int32_t> ints;
  for (LONG i = 0; i < VUtil::GetArrayLength(array); ++i) {
    ints.push_back(static_cast<std::int32_t>(VUtil::GetLongElement(array, i)));
  }
  return ints;
}

inline std::vector<std::u16string> Strings(const VARIANT& array) {
  std::vector<std::u16string> strings;
  for (LONG i = 0; i < VUtil::GetArrayLength(array); ++i) {
    strings.push_back(VUtil::GetStringElement(array, i));
  }
  return strings;
}

// The service names of a registration record (element 6), "-" for the
// elements left empty.
inline std::vector<std::u16string> RecordServices(const VARIANT& record) {
  kiv::Variant services;
  VUtil::GetElement(record, 6, services.get());
  std::vector<std::u16string> names;
  for (LONG i = 0; services.vt() != VT_EMPTY && i < VUtil::GetArrayLength(*services); ++i) {
    kiv::Variant pair;
    VUtil::GetElement(*services, i, pair.get());
    names.push_back(pair.vt() == VT_EMPTY ? u"-" : VUtil::GetStringElement(*pair, 0));
  }
  return names;
}

// A VT_VARIANT array of the values.
inline kiv::Variant ArrayOf(std::initializer_list<kiv::Variant> values) {
  kiv::Variant array;
  VUtil::CreateArray(*array, VT_VARIANT, static_cast<ULONG>(values.size()));
  LONG index = 0;
  for (const kiv::Variant& value : values) {
    VUtil::PutElement(*array, index++, const_cast<VARIANT*>(value.get()));
  }
  return array;
}

class TestSatellite : public KivSatellite {
 public:
  using Init = std::function<void(TestSatellite&)>;
  using Statuses = std::vector<std::pair<std::int32_t, std::int32_t>>;  // (satellite id, status)

  // init declares the services at every connection (InitServices).
  explicit TestSatellite(Init init = {}) : init_(std::move(init)) {}
  ~TestSatellite() override { Disconnect(); }

  using KivSatellite::AddService;
  using KivSatellite::RegisterServices;
  using KivSatellite::RemoveService;
  using KivSatellite::UnregisterServices;

  // Request with fresh outputs; the return codes read as integers.
  struct Outcome {
    std::int32_t result = -99;
    kiv::Variant values;
    std::vector<std::int32_t> statuses;
  };
  Outcome Call(const char16_t* destination, const char16_t* service, const kiv::Variant& in) {
    Outcome outcome;
    kiv::Variant retCode;
    outcome.result = Request(destination, service, *in, *outcome.values, KIV_NOFLAGS, *retCode);
    if (retCode.vt() != VT_EMPTY) outcome.statuses = Ints(*retCode);
    return outcome;
  }

  Statuses StatusReports() {
    PScopedLock guard(&lock_);
    return statuses_;
  }
  // Each notice as "service/satellite/state".
  std::vector<std::u16string> Notices() {
    PScopedLock guard(&lock_);
    return notices_;
  }

 protected:
  void InitServices() override {
    if (init_) init_(*this);
  }
  std::int32_t OnStatusChange(std::int32_t satId, KIVSTATUS status) override {
    PScopedLock guard(&lock_);
    statuses_.emplace_back(satId, status);
    return 0;
  }
  void OnServiceAvailabilityChanged(const char16_t* service, const char16_t* satellite,
                                    std::int32_t state) override {
    PScopedLock guard(&lock_);
    notices_.push_back(std::u16string(service) + u"/" + satellite + u"/" +
                       kiv::FromUtf8(std::to_string(state)));
  }

 private:
  Init init_;
  PMutex lock_;  // guards the two below
  Statuses statuses_;
  std::vector<std::u16string> notices_;
};

}  // namespace kiv::satellitetest

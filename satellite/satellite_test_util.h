// Helpers for the KivSatellite tests: a satellite whose services and
// callbacks tests set up with lambdas and that records its status reports
// and availability notices, handlers from lambdas, and readers of the
// arrays the tests check. Waits take deadlines.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "kiv/satellite.h"
#include "kiv/value.h"
#include "support/threads/cond.h"

namespace kiv::satellitetest {

using HandlerFunction =
    std::function<std::int32_t(const char16_t* source, const VARIANT& in, VARIANT* out)>;

// A handler that calls a std::function.
class LambdaHandler : public KivSatelliteDelegateGeneric {
 public:
  explicit LambdaHandler(HandlerFunction function) : function_(std::move(function)) {}
  std::int32_t Invoke(const char16_t* source, const VARIANT& in, VARIANT* out) override {
    return function_(source, in, out);
  }

 private:
  HandlerFunction function_;
};

// A directory handler that calls a std::function with the descriptor too.
class LambdaWithIdHandler : public KivSatelliteDelegateWithId {
 public:
  using Function = std::function<std::int32_t(std::int32_t sd, const char16_t* source,
                                              const VARIANT& in, VARIANT* out)>;
  explicit LambdaWithIdHandler(Function function) : function_(std::move(function)) {}
  std::int32_t InvokeWithId(std::int32_t sd, const char16_t* source, const VARIANT& in,
                            VARIANT* out) override {
    return function_(sd, source, in, out);
  }

 private:
  Function function_;
};

// Answers its input with code 0.
std::int32_t Echo(const char16_t* source, const VARIANT& in, VARIANT* out);

// Lets tests throw a KivException with a code of their choice.
class CodedException : public KivException {
 public:
  CodedException(std::int32_t code, const char16_t* message) : KivException(code, message) {}
};

class TestSatellite : public KivSatellite {
 public:
  using Init = std::function<void(TestSatellite&)>;

  // init runs at every connection (InitServices).
  explicit TestSatellite(Init init = {}) : init_(std::move(init)) {}
  ~TestSatellite() override { Disconnect(); }

  using KivSatellite::AddService;
  using KivSatellite::RegisterServices;
  using KivSatellite::RemoveService;
  using KivSatellite::UnregisterServices;

  // Request with a fresh OutParams and RetCode; RetCode read as integers.
  struct Outcome {
    std::int32_t result = -99;
    kiv::Variant values;
    std::vector<std::int32_t> statuses;
  };
  Outcome Call(const char16_t* destination, const char16_t* service, const kiv::Variant& in);

  std::vector<std::pair<std::int32_t, std::int32_t>> Statuses();  // (satellite id, status)
  bool WaitForStatuses(std::size_t count, int timeoutMs);
  // Each notice as "service/satellite/state".
  std::vector<std::u16string> Notices();
  bool WaitForNotices(std::size_t count, int timeoutMs);

 protected:
  void InitServices() override {
    if (init_) init_(*this);
  }
  std::int32_t OnStatusChange(std::int32_t satId, KIVSTATUS status) override;
  void OnServiceAvailabilityChanged(const char16_t* service, const char16_t* satellite,
                                    std::int32_t state) override;

 private:
  bool WaitFor(const std::function<bool()>& done, int timeoutMs);

  Init init_;
  PCondMutex lock_;  // guards the two below
  std::vector<std::pair<std::int32_t, std::int32_t>> statuses_;
  std::vector<std::u16string> notices_;
};

// Readers of one-dimensional arrays (strings of VT_BSTR or variant arrays).
std::vector<std::u16string> Strings(const VARIANT& array);
std::vector<std::int32_t> Ints(const VARIANT& array);
// The service names of a registration record (element 6), "-" for the
// elements left empty.
std::vector<std::u16string> RecordServices(const VARIANT& record);
// A VT_VARIANT array of the values.
kiv::Variant ArrayOf(std::initializer_list<kiv::Variant> values);

}  // namespace kiv::satellitetest

#include "satellite/satellite_test_util.h"

#include <string>

#include "kiv/utf8.h"
#include "kiv/vutil.h"
#include "support/threads/timeout.h"

namespace kiv::satellitetest {

std::int32_t Echo(const char16_t*, const VARIANT& in, VARIANT* out) {
  return VariantCopy(out, &in) == S_OK ? 0 : -3;
}

TestSatellite::Outcome TestSatellite::Call(const char16_t* destination, const char16_t* service,
                                           const kiv::Variant& in) {
  Outcome outcome;
  kiv::Variant retCode;
  outcome.result = Request(destination, service, *in, *outcome.values, KIV_NOFLAGS, *retCode);
  if (retCode.vt() != VT_EMPTY) outcome.statuses = Ints(*retCode);
  return outcome;
}

std::int32_t TestSatellite::OnStatusChange(std::int32_t satId, KIVSTATUS status) {
  PScopedLock guard(&lock_);
  statuses_.emplace_back(satId, status);
  lock_.Broadcast();
  return 0;
}

void TestSatellite::OnServiceAvailabilityChanged(const char16_t* service, const char16_t* satellite,
                                                 std::int32_t state) {
  PScopedLock guard(&lock_);
  notices_.push_back(std::u16string(service) + u"/" + satellite + u"/" +
                     kiv::FromUtf8(std::to_string(state)));
  lock_.Broadcast();
}

std::vector<std::pair<std::int32_t, std::int32_t>> TestSatellite::Statuses() {
  PScopedLock guard(&lock_);
  return statuses_;
}

bool TestSatellite::WaitForStatuses(std::size_t count, int timeoutMs) {
  return WaitFor([&] { return statuses_.size() >= count; }, timeoutMs);
}

std::vector<std::u16string> TestSatellite::Notices() {
  PScopedLock guard(&lock_);
  return notices_;
}

bool TestSatellite::WaitForNotices(std::size_t count, int timeoutMs) {
  return WaitFor([&] { return notices_.size() >= count; }, timeoutMs);
}

bool TestSatellite::WaitFor(const std::function<bool()>& done, int timeoutMs) {
  const timespec deadline = AbsoluteTimeout(timeoutMs);
  PScopedLock guard(&lock_);
  while (!done()) {
    if (!lock_.TimedWait(deadline)) return done();
  }
  return true;
}

std::vector<std::u16string> Strings(const VARIANT& array) {
  std::vector<std::u16string> strings;
  const LONG n = VUtil::GetArrayLength(array);
  for (LONG i = 0; i < n; ++i) strings.push_back(VUtil::GetStringElement(array, i));
  return strings;
}

std::vector<std::int32_t> Ints(const VARIANT& array) {
  std::vector<std::int32_t> ints;
  const LONG n = VUtil::GetArrayLength(array);
  for (LONG i = 0; i < n; ++i) {
    ints.push_back(static_cast<std::int32_t>(VUtil::GetLongElement(array, i)));
  }
  return ints;
}

std::vector<std::u16string> RecordServices(const VARIANT& record) {
  kiv::Variant services;
  VUtil::GetElement(record, 6, services.get());
  std::vector<std::u16string> names;
  if (services.vt() == VT_EMPTY) return names;
  const LONG n = VUtil::GetArrayLength(*services);
  for (LONG i = 0; i < n; ++i) {
    kiv::Variant pair;
    VUtil::GetElement(*services, i, pair.get());
    names.push_back(pair.vt() == VT_EMPTY ? u"-" : VUtil::GetStringElement(*pair, 0));
  }
  return names;
}

kiv::Variant ArrayOf(std::initializer_list<kiv::Variant> values) {
  kiv::Variant array;
  VUtil::CreateArray(*array, VT_VARIANT, static_cast<ULONG>(values.size()));
  LONG index = 0;
  for (const kiv::Variant& value : values) {
    VUtil::PutElement(*array, index++, const_cast<VARIANT*>(value.get()));
  }
  return array;
}

}  // namespace kiv::satellitetest

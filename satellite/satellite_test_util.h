// A KivSatellite whose services a lambda declares; it records status reports.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "kiv/satellite.h"
#include "kiv/value.h"
#include "kiv/vutil.h"
#include "support/threads/mutex.h"

namespace kiv::satellitetest {

inline std::vector<std::int32_t> Ints(const VARIANT& array) {
  std::vector<std::int32_t> ints;
  for (LONG i = 0; i < VUtil::GetArrayLength(array); ++i) {
    ints.push_back(static_cast<std::int32_t>(VUtil::GetLongElement(array, i)));
  }
  return ints;
}

class TestSatellite : public KivSatellite {
 public:
  using Statuses = std::vector<std::pair<std::int32_t, std::int32_t>>;  // (satellite id, status)
  explicit TestSatellite(std::function<void(TestSatellite&)> init = {}) : init_(std::move(init)) {}
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

 protected:
  void InitServices() override {
    if (init_) init_(*this);
  }
  std::int32_t OnStatusChange(std::int32_t satId, KIVSTATUS status) override {
    PScopedLock guard(&lock_);
    statuses_.emplace_back(satId, status);
    return 0;
  }

 private:
  std::function<void(TestSatellite&)> init_;
  PMutex lock_;  // guards statuses_
  Statuses statuses_;
};

}  // namespace kiv::satellitetest

// Helpers for the tests of requests, pings and directory reports: reading
// the values and statuses arrays a request answers, a gate that holds slow
// handlers until a test opens it, and a deadline-bounded wait on a
// condition that has no event of its own. Test threads only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kiv/value.h"
#include "kiv/vutil.h"
#include "support/threads/cond.h"

namespace kiv::testing {

// The elements of a VT_I4 array; empty for any other value.
inline std::vector<std::int32_t> Int32s(const VARIANT& value) {
  std::vector<std::int32_t> out;
  if (value.vt != (VT_ARRAY | VT_I4)) return out;
  const LONG n = VUtil::GetArrayLength(value);
  for (LONG i = 0; i < n; ++i)
    out.push_back(static_cast<std::int32_t>(VUtil::GetLongElement(value, i)));
  return out;
}

// Element i of a VT_VARIANT array.
inline kiv::Variant ElementOf(const VARIANT& array, LONG index) {
  kiv::Variant element;
  VUtil::GetElement(array, index, element.get());
  return element;
}

inline std::u16string TextOf(const VARIANT& value) {
  if (value.vt != VT_BSTR || value.bstrVal == nullptr) return u"";
  return std::u16string(value.bstrVal, SysStringLen(value.bstrVal));
}

// Polls `condition` until it holds or `milliseconds` pass. For state that
// offers no event to wait on (counters of live objects).
inline bool WaitUntil(const std::function<bool()>& condition, int milliseconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Holds handlers until opened. Handlers keep the flag alive through their
// own copy of `flag`; the gate opens at the latest when it is destroyed, so
// declare it after the engines whose handlers wait on it.
struct Gate {
  std::shared_ptr<PCondFlag> flag = std::make_shared<PCondFlag>(false);
  Gate() = default;
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;
  ~Gate() { flag->Set(); }
  void Open() { flag->Set(); }
};

}  // namespace kiv::testing

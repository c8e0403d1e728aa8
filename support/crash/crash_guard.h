// The guard around calls into service handlers: runs the handler under the
// fault guard and, when it faults, writes the crash dump ("Kiv.dll", reporter
// started) and answers kGuardCrashResult instead of the handler's result.
// Any thread; exceptions from the handler pass through unchanged.
#pragma once

#include <cstdint>
#include <type_traits>

#include "support/crash/crash_handler.h"
#include "support/crash/fault_guard.h"

namespace kiv {

// What the caller of a faulting handler receives.
constexpr std::int32_t kGuardCrashResult = 0x2001A;

// handler() returns an integer result (or nothing, answered as 0).
template <class F>
std::int32_t CallGuarded(F&& handler, const char16_t* appName = u"Kiv.dll",
                         bool launchReporter = true) {
  std::int32_t result = 0;
  FaultRecord fault;
  const bool faulted = RunGuarded(
      [&] {
        if constexpr (std::is_void_v<decltype(handler())>) {
          handler();
        } else {
          result = static_cast<std::int32_t>(handler());
        }
      },
      &fault);
  if (!faulted) return result;
  WriteCrashDump(&fault, appName, launchReporter);
  return kGuardCrashResult;
}

}  // namespace kiv

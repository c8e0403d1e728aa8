// BackgroundCall runs one KivCall on a thread of its own, so that the test
// thread can play the peer; Wait (or the destructor) joins it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/value.h"
#include "testing/kiv_assertions.h"
#include "testing/wait.h"

namespace kiv::testing {

// Left in returnCode by calls that do not write it.
constexpr std::int32_t kUntouchedCode = 0x5A5A5A5A;

struct CallOutcome {
  std::int32_t result = 0;
  std::int32_t returnCode = kUntouchedCode;
  kiv::Variant value = kiv::Variant::I4(kUntouchedCode);
};

class BackgroundCall {
 public:
  BackgroundCall(KIV* engine, std::string host, std::uint16_t port, std::string request,
                 kiv::Variant argument) {
    thread_.emplace([=, this]() mutable {
      outcome_.result = KivCall(engine, host.c_str(), port, request.c_str(), argument.get(),
                                outcome_.value.get(), &outcome_.returnCode);
    });
  }

  const CallOutcome& Wait() {
    thread_.reset();
    return outcome_;
  }

 private:
  CallOutcome outcome_;
  std::optional<TestThread> thread_;
};

}  // namespace kiv::testing

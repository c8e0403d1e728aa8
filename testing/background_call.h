// BackgroundCall runs one KivCall on a thread of its own, so that the test
// thread can play the peer; Wait joins it (the destructor does too, so a
// failed assertion cannot leak the thread).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

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
                 kiv::Variant argument)
      : host_(std::move(host)), request_(std::move(request)), argument_(std::move(argument)) {
    thread_ = std::make_unique<TestThread>([this, engine, port] {
      outcome_.result = KivCall(engine, host_.c_str(), port, request_.c_str(), argument_.get(),
                                outcome_.value.get(), &outcome_.returnCode);
    });
  }

  const CallOutcome& Wait() {
    thread_.reset();
    return outcome_;
  }

 private:
  const std::string host_;
  const std::string request_;
  kiv::Variant argument_;
  CallOutcome outcome_;
  std::unique_ptr<TestThread> thread_;
};

}  // namespace kiv::testing

// Judges one Request to Echo against the value sent: a success (every target
// answered 0 with exactly that value), a failure (a non-zero status), or a
// wrong answer (another value under status 0, or statuses and values not
// shaped as Request promises). Pure; any thread.
#pragma once

#include <cstdint>
#include <string>

#include "kiv/oleaut.h"

namespace kiv::soak {

struct EchoOutcome {
  enum Kind { kOk, kFailed, kWrong };
  Kind kind = kOk;
  std::int32_t status = 0;  // kFailed: the first non-zero status
  std::string problem;      // kWrong: what is wrong, with both values
};

// `named` is true for a destination other than "ALL", whose answer has
// exactly one target; result is what Request returned.
EchoOutcome CheckEcho(const VARIANT& sent, bool named, std::int32_t result, const VARIANT& values,
                      const VARIANT& statuses);

}  // namespace kiv::soak

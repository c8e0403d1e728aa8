#include "tests/soak/echo_check.h"

#include "kiv/value.h"
#include "tests/soak/echo_value.h"

namespace kiv::soak {
namespace {

EchoOutcome Wrong(std::string problem) {
  return {EchoOutcome::kWrong, 0, std::move(problem)};
}

// Element count of a one-dimensional, zero-based array of elementType;
// -1 when the value is anything else.
long Length(const VARIANT& v, VARTYPE elementType) {
  if (v.vt != (VT_ARRAY | elementType) || v.parray == nullptr || v.parray->cDims != 1 ||
      v.parray->rgsabound[0].lLbound != 0) {
    return -1;
  }
  return static_cast<long>(v.parray->rgsabound[0].cElements);
}

}  // namespace

EchoOutcome CheckEcho(const VARIANT& sent, bool named, std::int32_t result, const VARIANT& values,
                      const VARIANT& statuses) {
  if (result != 0) return {EchoOutcome::kFailed, result, {}};
  const long targets = Length(statuses, VT_I4);
  if (targets < 1 || (named && targets != 1)) {
    return Wrong("statuses are not a VT_I4 array of " + std::string(named ? "one" : "1 or more") +
                 " element(s): " + DescribeValue(statuses));
  }
  SafeArrayAccess codes(statuses.parray);
  if (!codes.ok()) return Wrong("statuses cannot be read");
  const LONG* status = codes.as<LONG>();
  bool anyOk = false;
  for (long i = 0; i < targets; ++i) anyOk = anyOk || status[i] == 0;
  // A call that failed before any target was reached leaves values empty.
  if (!anyOk && values.vt == VT_EMPTY) return {EchoOutcome::kFailed, status[0], {}};
  if (Length(values, VT_VARIANT) != targets) {
    return Wrong(std::to_string(targets) + " status(es) but values " + DescribeValue(values));
  }
  SafeArrayAccess answers(values.parray);
  if (!answers.ok()) return Wrong("values cannot be read");
  std::int32_t firstFailure = 0;
  for (long i = 0; i < targets; ++i) {
    if (status[i] != 0) {
      if (firstFailure == 0) firstFailure = status[i];
      continue;
    }
    const VARIANT& echoed = answers.as<VARIANT>()[i];
    if (!SameValue(sent, echoed)) {
      return Wrong("target " + std::to_string(i) +
                   " answered status 0 with another value.\nsent: " + DescribeValue(sent) +
                   "\nechoed: " + DescribeValue(echoed));
    }
  }
  if (firstFailure != 0) return {EchoOutcome::kFailed, firstFailure, {}};
  return {};
}

}  // namespace kiv::soak

// The values the soak's callers send to Echo, and the exact comparison of an
// echo with what was sent. Pure functions, any thread; each caller owns its
// random generator. Builders throw only std::bad_alloc.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "kiv/oleaut.h"
#include "kiv/value.h"

namespace kiv::soak {

// [caller (VT_I4), counter (VT_I8), text (VT_BSTR of random UTF-16 units,
// zero and lone surrogates included, sometimes tens of kilobytes),
// bytes (VT_ARRAY|VT_UI1), number (VT_R8 of random bits)] as an array of
// variants: every call sends a value no earlier call sent.
Variant MakeEchoValue(std::int32_t caller, std::int64_t counter, std::mt19937_64& random);

// True when both have the same type and the same bits: arrays the same
// element type, bounds and elements, strings the same units.
bool SameValue(const VARIANT& a, const VARIANT& b);

// The library's dump of the value, as UTF-8, for failure messages.
std::string DescribeValue(const VARIANT& value);

}  // namespace kiv::soak

// ISO 8601 UTC text to OLE Automation DATE. A DATE counts days since
// 1899-12-30 00:00 in its integer part and the time of day in its fraction.
// Before that day the integer part is negative and the fraction still means
// time of day, so it is subtracted: 1899-12-29T06:00:00Z is -1.25 (not
// -0.75). Days run on the proleptic Gregorian calendar. Pure function.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kiv/oleaut.h"

namespace kiv::cli {

// Accepts exactly "YYYY-MM-DDThh:mm:ssZ" or with ".f", ".ff" or ".fff"
// before the Z, years 0000 to 9999, no leap seconds. Nullopt otherwise.
std::optional<DATE> DateFromIso8601(std::string_view text);

// The text DateFromIso8601 reads back to exactly these bits: seconds, or
// milliseconds when they are not 0. Nullopt when there is none (a DATE
// finer than a millisecond, outside the years 0000 to 9999, not finite,
// or a negative zero part that the text cannot tell apart).
std::optional<std::string> DateToIso8601(DATE date);

}  // namespace kiv::cli

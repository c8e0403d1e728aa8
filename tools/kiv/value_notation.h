// The JSON value notation of the kiv programs: one JSON document per VARIANT.
// Printing picks the shortest form that reads back to the same type and the
// same bits, except that a date prints as ISO 8601 text where that text
// means exactly its bits (a person reads 2024-05-01T12:00:00Z, not 45413.5); reading and printing
// throw NotationError naming the problem and never leak a partly built value. Pure functions, safe
// on any thread.
//
// Forms beyond plain JSON, where bits would otherwise be lost:
//   {"r8": x}, {"r4": x}, {"date": x}: x is a number, or "inf", "-inf",
//     "nan" (the default quiet NaN: 0x7ff8000000000000, 0x7fc00000 for r4),
//     or "0x" and the exact bit pattern in 16 (r4: 8) hex digits; printing
//     uses the hex form for every other NaN. A date also takes
//     "YYYY-MM-DDThh:mm:ss[.fff]Z".
//   {"bool": n}: n the raw VARIANT_BOOL bits 0..65535; true and false are
//     0xFFFF and 0x0000.
//   {"bstr": [u, ...]}: the UTF-16 code units as numbers; printed for
//     strings holding a surrogate half without its partner, which JSON
//     text cannot carry.
// The items of {"T[]": [...]} and of an array's "data" take the same forms
// as x in {"T": x}; for T "variant" each item is a value in this notation.
#pragma once

#include <string>
#include <string_view>

#include "kiv/value.h"
#include "tools/kiv/json_reader.h"

namespace kiv::cli {

// How dates print: {"date": "YYYY-MM-DDThh:mm:ss[.fff]Z"} where the text
// reads back to the same bits (else the number), or always the DATE number.
enum class DateForm { kIsoText, kNumber };

Variant ValueFromJson(const Json& json);
Json ValueToJson(const VARIANT& value, DateForm dates = DateForm::kIsoText);

// One JSON document to a value, and a value to one line of JSON text.
Variant ParseValue(std::string_view text);
std::string FormatValue(const VARIANT& value, DateForm dates = DateForm::kIsoText);

}  // namespace kiv::cli

// Standard UTF-8 <-> UTF-16 conversion for text that leaves the system
// (the value notation, the configuration file): a character
// beyond U+FFFF becomes a surrogate pair and back. Unlike the library's
// unit-by-unit ToUtf8/FromUtf8, malformed input is reported, not cut short.
// Pure functions; they throw only std::bad_alloc.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kiv {

// Nullopt when the bytes are not well-formed UTF-8 (overlong forms, encoded
// surrogates and code points past U+10FFFF included).
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);

// Nullopt when the units hold a surrogate half without its partner.
std::optional<std::string> Utf16ToUtf8(std::u16string_view text);

}  // namespace kiv

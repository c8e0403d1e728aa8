// Hex text for byte strings, as the kiv program prints and reads wire bytes
// and the {"hex": ...} value form. Pure functions; parsing reports malformed
// text through std::nullopt, nothing else fails but allocation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::cli {

// Lower-case, two digits a byte, with the separator between bytes.
std::string FormatHex(const std::vector<std::uint8_t>& bytes, std::string_view separator);

// Digits in either case; blanks (spaces, tabs, line ends) may separate the
// bytes but not split one. Nullopt for anything else.
std::optional<std::vector<std::uint8_t>> ParseHex(std::string_view text);

}  // namespace kiv::cli

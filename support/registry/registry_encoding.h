// The character encodings registry export files come in, and their
// conversion to and from the UTF-8 text the parser reads: UTF-16LE with a
// byte-order mark (how "Windows Registry Editor Version 5.00" files are
// usually saved), UTF-8 with or without one, and code page 1252, the
// Windows ANSI code page that "REGEDIT4" files are written in. Pure
// functions; nothing fails but allocation and what the results report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kiv::registry {

inline constexpr std::string_view kRegedit4Header = "REGEDIT4";

enum class Encoding : std::uint8_t { kUtf8, kUtf8Bom, kUtf16Le, kCp1252 };

// A problem at a line of a file (warnings use the same shape).
struct ParseError {
  std::size_t line = 0;  // 1-based
  std::string message;
};

// A byte-order mark names the encoding; without one, a first line
// "REGEDIT4" means code page 1252 and anything else UTF-8.
Encoding DetectEncoding(std::string_view bytes);

// The text in UTF-8 without its byte-order mark. UTF-8 passes unchecked
// (the parser checks what it reads, line by line); nullopt, `error` filled,
// for UTF-16 that is cut or holds a lone surrogate half, and for UTF-16
// big-endian or without its mark, which are not read.
std::optional<std::string> DecodeText(std::string_view bytes, Encoding encoding, ParseError& error);

// The UTF-8 text in the encoding, byte-order mark included. Nullopt when
// it has a character code page 1252 lacks, or is not UTF-8 and must become
// UTF-16.
std::optional<std::string> EncodeText(std::string_view utf8, Encoding encoding);

// True when every unit of the text has a place in the encoding.
bool CanEncode(std::u16string_view text, Encoding encoding);

// Code page 1252 unit by unit. Every byte has a unit (the five the code
// page leaves open map to U+0081, U+008D, U+008F, U+0090 and U+009D, as
// Windows maps them), so any byte string survives the way there and back.
char16_t Cp1252ToUnit(std::uint8_t byte);
std::optional<std::uint8_t> UnitToCp1252(char16_t unit);

}  // namespace kiv::registry

#include "support/registry/registry_encoding.h"

#include <algorithm>
#include <array>

#include "support/text/standard_utf8.h"

namespace kiv::registry {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";

// Bytes 0x80 to 0x9F; every other byte is its own code point. A 32-entry
// table keeps the parser pure: iconv would need the gconv modules at run
// time and refuses the five open bytes, which Windows maps to themselves.
constexpr std::array<char16_t, 32> kCp1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

bool IsHighSurrogate(char16_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char16_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

std::size_t FirstLoneSurrogate(std::u16string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      return i;
    }
  }
  return text.size();
}

// The 1-based line of the unit at `index`; CR LF, LF and CR end lines.
std::size_t LineOf(std::u16string_view text, std::size_t index) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < index; ++i) {
    const bool crBeforeLf = text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n';
    if ((text[i] == u'\n' || text[i] == u'\r') && !crBeforeLf) ++line;
  }
  return line;
}

std::optional<std::string> DecodeUtf16Le(std::string_view bytes, ParseError& error) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                          static_cast<std::uint8_t>(bytes[i + 1]) << 8));
  }
  if (bytes.size() % 2 != 0) {
    error = {LineOf(units, units.size()), "the UTF-16 file ends in half a character"};
    return std::nullopt;
  }
  if (auto text = Utf16ToUtf8(units)) return text;
  error = {LineOf(units, FirstLoneSurrogate(units)),
           "a surrogate half without its partner (not UTF-16)"};
  return std::nullopt;
}

}  // namespace

char16_t Cp1252ToUnit(std::uint8_t byte) {
  return byte >= 0x80 && byte <= 0x9F ? kCp1252High[byte - 0x80] : char16_t{byte};
}

std::optional<std::uint8_t> UnitToCp1252(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<std::uint8_t>(unit);
  const auto found = std::find(kCp1252High.begin(), kCp1252High.end(), unit);
  if (found == kCp1252High.end()) return std::nullopt;
  return static_cast<std::uint8_t>(0x80 + (found - kCp1252High.begin()));
}

Encoding DetectEncoding(std::string_view bytes) {
  if (bytes.starts_with(kUtf16LeBom)) return Encoding::kUtf16Le;
  if (bytes.starts_with(kUtf8Bom)) return Encoding::kUtf8Bom;
  // Blanks around the header count as little here as to the parser.
  std::string_view first = bytes.substr(0, bytes.find_first_of("\r\n"));
  first.remove_prefix(std::min(first.find_first_not_of(" \t"), first.size()));
  first = first.substr(0, first.find_last_not_of(" \t") + 1);
  return first == kRegedit4Header ? Encoding::kCp1252 : Encoding::kUtf8;
}

std::optional<std::string> DecodeText(std::string_view bytes, Encoding encoding,
                                      ParseError& error) {
  switch (encoding) {
    case Encoding::kUtf16Le:
      return DecodeUtf16Le(bytes.substr(kUtf16LeBom.size()), error);
    case Encoding::kUtf8Bom:
      return std::string(bytes.substr(kUtf8Bom.size()));
    case Encoding::kCp1252: {
      std::u16string units;
      for (const char byte : bytes) units.push_back(Cp1252ToUnit(static_cast<std::uint8_t>(byte)));
      return Utf16ToUtf8(units);  // no surrogates: always converts
    }
    case Encoding::kUtf8:
      break;
  }
  if (bytes.starts_with(kUtf16BeBom)) {
    error = {1, "the file is UTF-16 big-endian; save it as UTF-16 LE or UTF-8"};
    return std::nullopt;
  }
  if (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0') {
    error = {1, "the file looks like UTF-16 without its byte-order mark; save it with one"};
    return std::nullopt;
  }
  return std::string(bytes);
}

std::optional<std::string> EncodeText(std::string_view utf8, Encoding encoding) {
  if (encoding == Encoding::kUtf8) return std::string(utf8);
  if (encoding == Encoding::kUtf8Bom) return std::string(kUtf8Bom) + std::string(utf8);
  const auto units = Utf8ToUtf16(utf8);
  if (!units) return std::nullopt;
  std::string bytes(encoding == Encoding::kUtf16Le ? kUtf16LeBom : "");
  for (const char16_t unit : *units) {
    if (encoding == Encoding::kUtf16Le) {
      bytes.push_back(static_cast<char>(unit & 0xFF));
      bytes.push_back(static_cast<char>(unit >> 8));
    } else if (const auto byte = UnitToCp1252(unit)) {
      bytes.push_back(static_cast<char>(*byte));
    } else {
      return std::nullopt;
    }
  }
  return bytes;
}

bool CanEncode(std::u16string_view text, Encoding encoding) {
  return encoding != Encoding::kCp1252 || std::all_of(text.begin(), text.end(), [](char16_t unit) {
           return UnitToCp1252(unit).has_value();
         });
}

}  // namespace kiv::registry

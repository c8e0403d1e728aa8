// The store's file format, the registry export format in UTF-8:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\ZIB Networks\Zib]
//   "LogLevel"=dword:00000004
//   "Name"="text with \\ and \" escaped"
//   "Blob"=hex:01,02,ff
//   @="the key's default value"
//   "Other"=hex(7):61,00,00,00
//
// Roots HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT; hex(N) carries any other
// type (and texts a quoted string cannot hold); hex lists may continue on
// the next line after a trailing '\'; ';' starts a comment line; an empty
// file is an empty hive. Pure functions: parsing reports the first error
// with its line, serializing cannot fail, and serializing a parsed hive
// parses back to the same hive.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "support/registry/registry_hive.h"

namespace kiv::registry {

inline constexpr std::string_view kFileHeader = "Windows Registry Editor Version 5.00";

struct ParseError {
  std::size_t line = 0;  // 1-based
  std::string message;
};

// Sections naming the same key are merged; a later value of the same name
// replaces an earlier one. Nullopt (and `error` filled) for any text that
// does not follow the format.
std::optional<Hive> ParseHive(std::string_view text, ParseError* error = nullptr);

std::string SerializeHive(const Hive& hive);

}  // namespace kiv::registry

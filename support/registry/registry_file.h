// The store's file format, the registry export format:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\ZIB Networks\Zib]
//   "LogLevel"=dword:00000004          ; a comment
//   "Name"="text with \\ and \" escaped"
//   "Blob"=hex:01,02,\  ; continued
//     ff
//   @="the key's default value"
//   "Other"=hex(7):61,00,00,00
//   "Gone"=-
//
//   [-HKEY_LOCAL_MACHINE\Software\Old]
//
// The first line is "Windows Registry Editor Version 5.00" or "REGEDIT4";
// the encoding is one of registry_encoding.h's; lines end in CR LF, LF or
// CR. Root names and key paths match in any case. The store holds
// HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT: sections of the other hives are
// skipped with a warning and kept as they are. hex(N) carries any other
// type (and texts a quoted string cannot hold); in a REGEDIT4 file hex(2)
// and hex(7) data are code page 1252 bytes, elsewhere UTF-16LE. A hex list
// continues on the next line after a trailing '\'; ';' starts a comment, on
// its own line or after a value. "=-" deletes a value and [-key] a key with
// everything below it, in file order. An empty file is an empty hive.
//
// Pure functions: parsing reports the first error with its line, and a
// parsed file serializes, in its own form, to bytes that parse back to the
// same file. Comments and deletions are not written back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/registry/registry_encoding.h"
#include "support/registry/registry_hive.h"

namespace kiv::registry {

inline constexpr std::string_view kFileHeader = "Windows Registry Editor Version 5.00";

enum class Header : std::uint8_t { kVersion5, kRegedit4 };
enum class LineEnd : std::uint8_t { kLf, kCrLf, kCr };

// How a file is written; a write keeps the form the file was read in. The
// default is a new file's. (Code page 1252 comes with REGEDIT4 only.)
struct FileForm {
  Encoding encoding = Encoding::kUtf8;
  Header header = Header::kVersion5;
  LineEnd lineEnd = LineEnd::kLf;  // the first line's
  friend bool operator==(const FileForm&, const FileForm&) = default;
};

struct StoreFile {
  FileForm form;
  Hive hive;
  // Each section of another hive, its lines as read (in UTF-8, without line
  // ends or trailing blank lines), written back after the hive's keys.
  std::vector<std::vector<std::string>> otherSections;
  // One per skipped section, at the line of its [key].
  std::vector<ParseError> warnings;
};

// Sections naming the same key are merged; a later value of the same name
// replaces an earlier one. Nullopt (and `error` filled) for any text that
// does not follow the format.
std::optional<StoreFile> ParseStoreFile(std::string_view bytes, ParseError* error = nullptr);

// Nullopt, `problem` filled, when a key path, value name or REGEDIT4
// hex(2)/hex(7) text has a character the file's encoding cannot hold (code
// page 1252); a REG_SZ text such a file cannot carry is written as hex(1).
std::optional<std::string> SerializeStoreFile(const StoreFile& file,
                                              std::string* problem = nullptr);

}  // namespace kiv::registry

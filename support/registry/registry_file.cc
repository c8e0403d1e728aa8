#include "support/registry/registry_file.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "kiv/utf8.h"
#include "support/registry/registry_data.h"
#include "support/text/standard_utf8.h"

namespace kiv::registry {
namespace {

constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kClassesRoot = "HKEY_CLASSES_ROOT";
constexpr std::array<std::string_view, 5> kOtherHives = {"HKEY_CURRENT_USER", "HKEY_USERS",
                                                         "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
                                                         "HKEY_PERFORMANCE_DATA"};
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegMultiSz = 7;

// The caller passes text without unpaired surrogates (IsValidKeyPath and
// IsValidValueName hold for everything the store writes); one that slips
// through is written unit by unit rather than lost.
std::string EncodeUtf8(std::u16string_view text) {
  if (auto standard = Utf16ToUtf8(text)) return std::move(*standard);
  return ToUtf8(text);
}

std::string Quote(std::u16string_view text) {
  std::string out = "\"";
  for (const char c : EncodeUtf8(text)) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

bool SameAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view line) {
  const std::size_t first = line.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return line.substr(first, line.find_last_not_of(" \t") + 1 - first);
}

// The part before a ';' comment, trimmed.
std::string_view WithoutComment(std::string_view text) {
  return Trim(text.substr(0, text.find(';')));
}

bool BlankOrComment(std::string_view text) {
  text = Trim(text);
  return text.empty() || text.front() == ';';
}

std::optional<std::uint32_t> HexNumber(std::string_view digits) {
  std::uint32_t number = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), number, 16);
  if (digits.empty() || digits.size() > 8 || error != std::errc() ||
      end != digits.data() + digits.size()) {
    return std::nullopt;
  }
  return number;
}

std::optional<std::vector<std::uint8_t>> HexList(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  if (text.empty()) return bytes;
  for (;;) {
    const std::string_view raw = text.substr(0, text.find(','));
    const std::string_view item = Trim(raw);
    const auto byte = HexNumber(item);
    if (item.size() != 2 || !byte) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(*byte));
    if (raw.size() == text.size()) return bytes;
    text.remove_prefix(raw.size() + 1);
  }
}

// REGEDIT4 writes the string types in hex as code page 1252 bytes, one per
// character; the store holds them as UTF-16, as every other text.
bool IsAnsiInRegedit4(std::uint32_t type) {
  return type == kRegExpandSz || type == kRegMultiSz;
}

std::vector<std::uint8_t> AnsiToUtf16Data(const std::vector<std::uint8_t>& ansi) {
  std::u16string units;
  for (const std::uint8_t byte : ansi) units.push_back(Cp1252ToUnit(byte));
  std::vector<std::uint8_t> data = StringData(units);
  data.resize(data.size() - 2);  // the bytes as they were, no terminator added
  return data;
}

std::optional<std::vector<std::uint8_t>> Utf16DataToAnsi(const std::vector<std::uint8_t>& data) {
  if (data.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> ansi;
  for (std::size_t i = 0; i < data.size(); i += 2) {
    const auto byte = UnitToCp1252(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    if (!byte) return std::nullopt;
    ansi.push_back(*byte);
  }
  return ansi;
}

// A REG_SZ whose data a quoted string can carry: whole UTF-16 units ending
// in the one terminating zero, on one line, without unpaired surrogates.
std::optional<std::u16string> PlainText(const std::vector<std::uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
  std::u16string text;
  for (std::size_t i = 0; i + 2 < data.size(); i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  }
  if (data[data.size() - 2] != 0 || data.back() != 0) return std::nullopt;
  if (text.find(u'\0') != std::u16string::npos || !IsValidValueName(text)) return std::nullopt;
  return text;
}

std::string HexText(const std::vector<std::uint8_t>& data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (i != 0) out.push_back(',');
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0xF]);
  }
  return out;
}

// Nullopt for REGEDIT4 hex(2)/hex(7) text code page 1252 cannot hold.
std::optional<std::string> ValueText(const Value& value, const FileForm& form) {
  std::array<char, 16> number{};
  if (value.type == kRegDword && value.data.size() == 4) {
    std::snprintf(number.data(), number.size(), "%08x", DataAsDword(value.data));
    return "dword:" + std::string(number.data());
  }
  if (value.type == kRegSz) {
    const auto text = PlainText(value.data);
    if (text && CanEncode(*text, form.encoding)) return Quote(*text);
  }
  if (value.type == kRegBinary) return "hex:" + HexText(value.data);
  std::snprintf(number.data(), number.size(), "%x", value.type);
  const std::string prefix = "hex(" + std::string(number.data()) + "):";
  if (form.header == Header::kRegedit4 && IsAnsiInRegedit4(value.type)) {
    const auto ansi = Utf16DataToAnsi(value.data);
    if (!ansi) return std::nullopt;
    return prefix + HexText(*ansi);
  }
  return prefix + HexText(value.data);
}

class Parser {
 public:
  Parser(std::string_view text, StoreFile& file) : rest_(text), file_(file) {}

  bool Run(ParseError& error) {
    if (rest_.empty()) return true;
    const std::size_t end = rest_.find_first_of("\r\n");
    if (end != std::string_view::npos) {
      file_.form.lineEnd = rest_[end] == '\n'               ? LineEnd::kLf
                           : rest_.substr(end, 2) == "\r\n" ? LineEnd::kCrLf
                                                            : LineEnd::kCr;
    }
    const std::string_view header = Trim(NextLine());
    if (header == kFileHeader || header == kRegedit4Header) {
      file_.form.header = header == kFileHeader ? Header::kVersion5 : Header::kRegedit4;
    } else {
      return Fail(error, "the first line must be '" + std::string(kFileHeader) + "' or '" +
                             std::string(kRegedit4Header) + "'");
    }
    while (!rest_.empty()) {
      const std::string_view raw = NextLine();
      const std::string_view line = Trim(raw);
      std::string problem;
      if (line.starts_with('[')) {
        problem = Section(line);
        if (other_ != nullptr) other_->emplace_back(raw);
      } else if (other_ != nullptr) {
        other_->emplace_back(raw);
      } else if (BlankOrComment(line)) {
        continue;
      } else if (line.front() == '"' || line.front() == '@') {
        problem = ValueLine(line);
      } else {
        problem = "expected a [key] section or a \"name\"=value line";
      }
      if (!problem.empty()) return Fail(error, problem);
    }
    CloseOtherSection();
    return true;
  }

 private:
  std::string_view NextLine() {
    const std::size_t end = rest_.find_first_of("\r\n");
    const std::string_view line = rest_.substr(0, end);
    std::size_t skip = end == std::string_view::npos ? rest_.size() : end + 1;
    if (end != std::string_view::npos && rest_.substr(end, 2) == "\r\n") ++skip;
    rest_.remove_prefix(skip);
    ++lineNumber_;
    return line;
  }

  bool Fail(ParseError& error, std::string message) {
    error = ParseError{startLine_ != 0 ? startLine_ : lineNumber_, std::move(message)};
    return false;
  }

  void CloseOtherSection() {
    while (other_ != nullptr && Trim(other_->back()).empty()) other_->pop_back();
    other_ = nullptr;
  }

  std::string Section(std::string_view line) {
    CloseOtherSection();
    current_ = nullptr;
    afterDeletion_ = false;
    if (line.size() < 2 || line.back() != ']') return "a [key] section must end with ']'";
    std::string_view name = line.substr(1, line.size() - 2);
    const bool deletion = name.starts_with('-');
    if (deletion) name.remove_prefix(1);
    const std::size_t separator = name.find('\\');
    const std::string_view rootName = name.substr(0, separator);
    const auto same = [&](std::string_view hive) { return SameAscii(rootName, hive); };
    Root root;
    if (same(kLocalMachine)) {
      root = Root::kLocalMachine;
    } else if (same(kClassesRoot)) {
      root = Root::kClassesRoot;
    } else if (std::any_of(kOtherHives.begin(), kOtherHives.end(), same)) {
      file_.warnings.push_back(
          {lineNumber_, "skipped " + std::string(line) +
                            ": the store reads only HKEY_LOCAL_MACHINE and HKEY_CLASSES_ROOT "
                            "(the section is kept when the store is written)"});
      other_ = &file_.otherSections.emplace_back();
      return {};
    } else {
      return "unknown root key '" + std::string(rootName) +
             "' (HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT or another hive's name)";
    }
    std::u16string path;
    if (separator != std::string_view::npos) {
      auto decoded = Utf8ToUtf16(name.substr(separator + 1));
      if (!decoded) return "the key path is not UTF-8";
      if (decoded->empty() || !IsValidKeyPath(*decoded)) {
        return "the key path has an empty name or a line break";
      }
      path = std::move(*decoded);
    }
    if (deletion) {
      if (path.empty()) return "a root key cannot be deleted";
      file_.hive.DeleteTree(root, path);  // current_ stays null: keys may have moved
      afterDeletion_ = true;
      return {};
    }
    current_ = &file_.hive.OpenOrCreateKey(root, path);
    return {};
  }

  // A quoted string at the start of `text` with \\ and \" unescaped; moves
  // `text` past it.
  static std::optional<std::string> Quoted(std::string_view& text) {
    std::string out;
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (text[i] == '"') {
        text.remove_prefix(i + 1);
        return out;
      }
      if (text[i] == '\\') {
        if (++i == text.size() || (text[i] != '\\' && text[i] != '"')) return std::nullopt;
      }
      out.push_back(text[i]);
    }
    return std::nullopt;
  }

  std::string ValueLine(std::string_view line) {
    if (current_ == nullptr) {
      return afterDeletion_ ? "a value after a [-key] deletion; give it a [key] section"
                            : "a value before the first [key] section";
    }
    Value value;
    std::string_view rest = line;
    if (rest.front() == '@') {
      rest.remove_prefix(1);
    } else {
      const auto name = Quoted(rest);
      if (!name) return "the value name is not a closed string (only \\\\ and \\\" escapes)";
      auto decoded = Utf8ToUtf16(*name);
      if (!decoded) return "the value name is not UTF-8";
      if (!IsValidValueName(*decoded)) return "the value name holds a line break";
      value.name = std::move(*decoded);
    }
    rest = Trim(rest);
    if (!rest.starts_with('=')) return "expected '=' after the value name";
    rest = Trim(rest.substr(1));
    if (WithoutComment(rest) == "-") {
      EraseValue(*current_, value.name);
      return {};
    }
    std::string joined;  // a hex list continued over several lines
    if (rest.starts_with("hex")) {
      startLine_ = lineNumber_;
      joined = WithoutComment(rest);
      while (joined.ends_with('\\')) {
        joined.pop_back();
        std::string_view next;
        do {
          if (rest_.empty()) return "the file ends inside a continued hex list";
          next = Trim(NextLine());
          if (next.empty()) return "a continued hex list breaks off at an empty line";
        } while (next.front() == ';');
        joined += WithoutComment(next);
      }
      rest = joined;
    }
    std::string problem = ValueData(rest, value);
    if (problem.empty()) {
      startLine_ = 0;
      SetValue(*current_, std::move(value));
    }
    return problem;
  }

  std::string ValueData(std::string_view rest, Value& value) const {
    if (rest.starts_with('"')) {
      const auto text = Quoted(rest);
      if (!text) return "the text is not a closed string (only \\\\ and \\\" escapes)";
      if (!BlankOrComment(rest)) return "unexpected characters after the text";
      const auto units = Utf8ToUtf16(*text);
      if (!units) return "the text is not UTF-8";
      value.type = kRegSz;
      value.data = StringData(*units);
      return {};
    }
    if (rest.starts_with("dword:")) {
      const auto number = HexNumber(WithoutComment(rest.substr(6)));
      if (!number) return "dword: takes 1 to 8 hex digits";
      value.type = kRegDword;
      value.data = DwordData(*number);
      return {};
    }
    std::string_view list;
    if (rest.starts_with("hex:")) {
      value.type = kRegBinary;
      list = rest.substr(4);
    } else if (rest.starts_with("hex(")) {
      const std::size_t close = rest.find("):");
      const auto type =
          close == std::string_view::npos ? std::nullopt : HexNumber(rest.substr(4, close - 4));
      if (!type) return "hex(N): takes a type of 1 to 8 hex digits";
      value.type = *type;
      list = rest.substr(close + 2);
    } else {
      return "unknown value type (expected \"text\", dword:, hex:, hex(N): or - to delete)";
    }
    auto bytes = HexList(list);
    if (!bytes) return "a hex list holds two-digit bytes separated by commas";
    const bool ansi = file_.form.header == Header::kRegedit4 && IsAnsiInRegedit4(value.type);
    value.data = ansi ? AnsiToUtf16Data(*bytes) : std::move(*bytes);
    return {};
  }

  std::string_view rest_;
  StoreFile& file_;
  std::size_t lineNumber_ = 0;
  std::size_t startLine_ = 0;  // first line of a value continued over several
  // Stays valid: only sections add or remove keys, and they reset it.
  Key* current_ = nullptr;
  bool afterDeletion_ = false;                 // in a [-key] section
  std::vector<std::string>* other_ = nullptr;  // in another hive's section
};

std::string_view LineEndText(LineEnd lineEnd) {
  switch (lineEnd) {
    case LineEnd::kCrLf:
      return "\r\n";
    case LineEnd::kCr:
      return "\r";
    case LineEnd::kLf:
      break;
  }
  return "\n";
}

std::string CannotHold(std::u16string_view what) {
  // Appended piece by piece: g++ -O3 misreads a chain of + here as an
  // overlapping copy (-Wrestrict).
  std::string text = "'";
  text += EncodeUtf8(what);
  text +=
      "' has characters code page 1252 lacks, and the store is a REGEDIT4 file in it; save "
      "the store as UTF-16 or UTF-8 with the header '";
  text += kFileHeader;
  text += "' to hold them";
  return text;
}

}  // namespace

std::optional<StoreFile> ParseStoreFile(std::string_view bytes, ParseError* error) {
  ParseError ignored;
  ParseError& problem = error != nullptr ? *error : ignored;
  StoreFile file;
  file.form.encoding = DetectEncoding(bytes);
  const auto text = DecodeText(bytes, file.form.encoding, problem);
  if (!text || !Parser(*text, file).Run(problem)) return std::nullopt;
  return file;
}

std::optional<std::string> SerializeStoreFile(const StoreFile& file, std::string* problem) {
  std::string ignored;
  std::string& why = problem != nullptr ? *problem : ignored;
  const Encoding encoding = file.form.encoding;
  const std::string_view eol = LineEndText(file.form.lineEnd);
  std::string out(file.form.header == Header::kVersion5 ? kFileHeader : kRegedit4Header);
  out += eol;
  out += eol;
  for (const Key& key : file.hive.keys()) {
    if (!CanEncode(key.path, encoding)) {
      why = "the key path " + CannotHold(key.path);
      return std::nullopt;
    }
    out += '[';
    out += key.root == Root::kLocalMachine ? kLocalMachine : kClassesRoot;
    if (!key.path.empty()) out += '\\' + EncodeUtf8(key.path);
    out += ']';
    out += eol;
    for (const Value& value : key.values) {
      const auto data = ValueText(value, file.form);
      if (!CanEncode(value.name, encoding) || !data) {
        why = "the value " + CannotHold(value.name);
        return std::nullopt;
      }
      out += value.name.empty() ? "@" : Quote(value.name);
      out += '=' + *data;
      out += eol;
    }
    out += eol;
  }
  for (const auto& section : file.otherSections) {
    for (const std::string& line : section) {
      out += line;
      out += eol;
    }
    out += eol;
  }
  auto bytes = EncodeText(out, encoding);
  if (!bytes) why = "the kept sections of other hives cannot be written in the file's encoding";
  return bytes;
}

}  // namespace kiv::registry

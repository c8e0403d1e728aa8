#include "support/registry/registry_file.h"

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

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kLocalMachine = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kClassesRoot = "HKEY_CLASSES_ROOT";

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
  const std::size_t first = line.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return line.substr(first, line.find_last_not_of(" \t\r") + 1 - first);
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
    const std::string_view item = text.substr(0, text.find(','));
    const auto byte = HexNumber(item);
    if (item.size() != 2 || !byte) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(*byte));
    if (item.size() == text.size()) return bytes;
    text.remove_prefix(item.size() + 1);
  }
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

std::string ValueText(const Value& value) {
  std::array<char, 16> number{};
  if (value.type == kRegDword && value.data.size() == 4) {
    std::snprintf(number.data(), number.size(), "%08x", DataAsDword(value.data));
    return "dword:" + std::string(number.data());
  }
  if (value.type == kRegSz) {
    if (auto text = PlainText(value.data)) return Quote(*text);
  }
  if (value.type == kRegBinary) return "hex:" + HexText(value.data);
  std::snprintf(number.data(), number.size(), "%x", value.type);
  return "hex(" + std::string(number.data()) + "):" + HexText(value.data);
}

class Parser {
 public:
  explicit Parser(std::string_view text) : rest_(text) {}

  std::optional<Hive> Run(ParseError& error) {
    if (rest_.starts_with(kUtf8Bom)) rest_.remove_prefix(kUtf8Bom.size());
    if (rest_.empty()) return Hive{};
    if (Trim(NextLine()) != kFileHeader) {
      return Fail(error, "the first line must be '" + std::string(kFileHeader) + "'");
    }
    while (!rest_.empty()) {
      const std::string_view line = Trim(NextLine());
      if (line.empty() || line.front() == ';') continue;
      std::string problem;
      if (line.front() == '[') {
        problem = Section(line);
      } else if (line.front() == '"' || line.front() == '@') {
        problem = current_ == nullptr ? "a value before the first [key] section" : ValueLine(line);
      } else {
        problem = "expected a [key] section or a \"name\"=value line";
      }
      if (!problem.empty()) return Fail(error, problem);
    }
    return std::move(hive_);
  }

 private:
  std::string_view NextLine() {
    const std::size_t end = rest_.find('\n');
    const std::string_view line = rest_.substr(0, end);
    rest_.remove_prefix(end == std::string_view::npos ? rest_.size() : end + 1);
    ++lineNumber_;
    return line;
  }

  std::optional<Hive> Fail(ParseError& error, std::string message) {
    error = ParseError{startLine_ != 0 ? startLine_ : lineNumber_, std::move(message)};
    return std::nullopt;
  }

  std::string Section(std::string_view line) {
    if (line.size() < 2 || line.back() != ']') return "a [key] section must end with ']'";
    const std::string_view name = line.substr(1, line.size() - 2);
    const std::size_t separator = name.find('\\');
    const std::string_view rootName = name.substr(0, separator);
    Root root;
    if (SameAscii(rootName, kLocalMachine)) {
      root = Root::kLocalMachine;
    } else if (SameAscii(rootName, kClassesRoot)) {
      root = Root::kClassesRoot;
    } else {
      return "unknown root key '" + std::string(rootName) + "'";
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
    current_ = &hive_.OpenOrCreateKey(root, path);
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
    if (!rest.starts_with('=')) return "expected '=' after the value name";
    rest.remove_prefix(1);

    std::string joined;  // a hex list continued over several lines
    if (rest.starts_with("hex") && rest.ends_with('\\')) {
      startLine_ = lineNumber_;
      joined = rest;
      while (joined.ends_with('\\')) {
        joined.pop_back();
        if (rest_.empty()) return "the file ends inside a continued hex list";
        joined += Trim(NextLine());
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

  static std::string ValueData(std::string_view rest, Value& value) {
    if (rest.starts_with('"')) {
      const auto text = Quoted(rest);
      if (!text) return "the text is not a closed string (only \\\\ and \\\" escapes)";
      if (!rest.empty()) return "unexpected characters after the text";
      const auto units = Utf8ToUtf16(*text);
      if (!units) return "the text is not UTF-8";
      value.type = kRegSz;
      value.data = StringData(*units);
      return {};
    }
    if (rest.starts_with("dword:")) {
      const auto number = HexNumber(rest.substr(6));
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
      return "unknown value type (expected \"text\", dword:, hex: or hex(N):)";
    }
    auto bytes = HexList(list);
    if (!bytes) return "a hex list holds two-digit bytes separated by commas";
    value.data = std::move(*bytes);
    return {};
  }

  std::string_view rest_;
  std::size_t lineNumber_ = 0;
  std::size_t startLine_ = 0;  // first line of a value continued over several
  Hive hive_;
  Key* current_ = nullptr;  // stays valid: only sections add keys, and they reset it
};

}  // namespace

std::optional<Hive> ParseHive(std::string_view text, ParseError* error) {
  ParseError ignored;
  return Parser(text).Run(error != nullptr ? *error : ignored);
}

std::string SerializeHive(const Hive& hive) {
  std::string out = std::string(kFileHeader) + "\n\n";
  for (const Key& key : hive.keys()) {
    out += '[';
    out += key.root == Root::kLocalMachine ? kLocalMachine : kClassesRoot;
    if (!key.path.empty()) out += '\\' + EncodeUtf8(key.path);
    out += "]\n";
    for (const Value& value : key.values) {
      out += value.name.empty() ? "@" : Quote(value.name);
      out += '=' + ValueText(value) + '\n';
    }
    out += '\n';
  }
  return out;
}

}  // namespace kiv::registry

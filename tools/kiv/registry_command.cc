// kiv registry get|set|list: reads and writes the configuration store below
// HKEY_LOCAL_MACHINE, as the library reads it.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "kiv/utf8.h"
#include "support/registry/registry.h"
#include "support/registry/registry_data.h"
#include "support/registry/registry_store.h"
#include "support/text/standard_utf8.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/hex.h"
#include "tools/kiv/json_reader.h"

namespace kiv::cli {
namespace {

using registry::Root;
using registry::Store;

std::u16string Wide(const std::string& text, std::string_view what) {
  auto wide = Utf8ToUtf16(text);
  if (!wide) throw UsageError(std::string(what) + " is not UTF-8");
  return std::move(*wide);
}

// Text the store holds may contain a surrogate half; print it unit by unit
// then rather than not at all.
std::string Narrow(std::u16string_view text) {
  auto narrow = Utf16ToUtf8(text);
  return narrow ? std::move(*narrow) : ToUtf8(text);
}

// The reads answer "not found" for a store that cannot be parsed; say why
// and give the status of its own.
std::optional<int> ReportUnreadableStore(Context& context) {
  std::string problem;
  if (Store().Read(&problem)) return std::nullopt;
  context.err << "kiv: registry: " << problem << '\n';
  return kExitBadStore;
}

// The settings the library reads, with the kind of value and the numbers
// it accepts (README: "Configuration and logs", "Limits", "Security"). A
// value of another kind or outside the range is ignored by the programs,
// so storing it would only hide the mistake.
struct Setting {
  std::u16string_view key;
  std::u16string_view name;
  bool isText;
  std::uint32_t min = 0;
  std::uint32_t max = UINT32_MAX;
};

constexpr std::u16string_view kLibraryKey = u"Software\\ZIB Networks\\Zib";
constexpr Setting kSettings[] = {
    {kLibraryKey, u"LogLevel", false, 0, 4},
    {kLibraryKey, u"DirectoryTimeout", false, 1, 3600},
    {kLibraryKey, u"IdleConnectionTimeout", false, 1, 86400},
    {kLibraryKey, u"MaxMessageSize", false},
    {kLibraryKey, u"MaxDecodingMemory", false},
    {kLibraryKey, u"MaxCrashDumps", false},
    {kLibraryKey, u"ListenAddress", true},
    {kLibraryKey, u"AllowedPeers", true},
    {u"Software\\ZIB Networks\\Zib\\Config", u"kiv.multicastGroup", true},
};

// Keys and names match in any ASCII case, as the store matches them.
bool SameName(std::u16string_view a, std::u16string_view b) {
  const auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

// Throws UsageError naming the setting and what it takes. `operand` is
// the value as given, for the message.
void CheckSetting(const std::u16string& key, const std::u16string& name, const std::string& shown,
                  std::optional<std::uint32_t> dword, const std::string& operand) {
  for (const Setting& setting : kSettings) {
    if (!SameName(setting.key, key) || !SameName(setting.name, name)) continue;
    if (setting.isText && dword) throw UsageError(shown + " is a text: give it with --string");
    if (setting.isText) return;
    if (!dword) throw UsageError(shown + " is a number: give it with --dword");
    if (*dword < setting.min || *dword > setting.max) {
      throw UsageError(shown + " takes " + std::to_string(setting.min) + " to " +
                       std::to_string(setting.max) + ", got " + operand);
    }
    return;
  }
}

std::uint32_t DwordOperand(const std::string& text) {
  const bool hex = text.starts_with("0x") || text.starts_with("0X");
  const char* first = text.data() + (hex ? 2 : 0);
  const char* last = text.data() + text.size();
  long long number = 0;
  const auto [end, error] = std::from_chars(first, last, number, hex ? 16 : 10);
  if (first == last || error != std::errc() || end != last || number < INT32_MIN ||
      number > UINT32_MAX || (hex && number < 0)) {
    throw UsageError("--dword takes a 32-bit number (-2147483648 to 4294967295 or 0x hex), got '" +
                     text + "'");
  }
  return static_cast<std::uint32_t>(number);
}

int Get(Context& context, std::span<const std::string> args, bool json) {
  if (args.size() != 2) throw UsageError("registry get takes KEY NAME");
  const auto value =
      Store().GetValue(Root::kLocalMachine, Wide(args[0], "KEY"), Wide(args[1], "NAME"));
  if (!value) {
    if (const auto status = ReportUnreadableStore(context)) return *status;
    context.err << "kiv: registry: no value '" << args[1] << "' in '" << args[0] << "'\n";
    return kExitFailed;
  }
  const bool isNumber = value->type == registry::kRegDword;
  const bool isText = value->type == registry::kRegSz;
  const std::string text =
      isText ? Narrow(registry::DataAsText(value->data, registry::kReadBufferBytes)) : "";
  if (!json) {
    if (isNumber) {
      context.out << registry::DataAsDword(value->data) << '\n';
    } else {
      context.out << (isText ? text : FormatHex(value->data, " ")) << '\n';
    }
    return kExitOk;
  }
  Json answer = {{"key", args[0]}, {"name", args[1]}};
  answer["type"] = isNumber ? "dword" : isText ? "string" : "binary";
  if (isNumber) {
    answer["value"] = registry::DataAsDword(value->data);
  } else {
    answer["value"] = isText ? text : FormatHex(value->data, "");
  }
  context.out << answer.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
  return kExitOk;
}

int Set(Context& context, std::span<const std::string> args) {
  std::optional<std::uint32_t> dword;
  std::optional<std::u16string> text;
  std::string operand;  // of --dword or --string
  std::vector<std::string> operands;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool isDword = arg == "--dword" || arg.starts_with("--dword=");
    const bool isString = arg == "--string" || arg.starts_with("--string=");
    if (!isDword && !isString) {
      operands.push_back(arg);
      continue;
    }
    if (dword || text) throw UsageError("registry set takes one of --dword or --string");
    const auto equals = arg.find('=');
    if (equals == std::string::npos && ++i == args.size()) {
      throw UsageError(arg + " needs a value");
    }
    operand = equals == std::string::npos ? args[i] : arg.substr(equals + 1);
    if (isDword) {
      dword = DwordOperand(operand);
    } else {
      text = Wide(operand, "--string");
    }
  }
  if (operands.size() != 2 || (!dword && !text)) {
    throw UsageError("registry set takes KEY NAME (--dword N | --string S)");
  }
  const std::u16string key = Wide(operands[0], "KEY");
  const std::u16string name = Wide(operands[1], "NAME");
  CheckSetting(key, name, operands[1], dword, operand);
  const registry::Value value =
      dword ? registry::Value{name, registry::kRegDword, registry::DwordData(*dword)}
            : registry::Value{name, registry::kRegSz, registry::StringData(*text)};
  std::string problem;
  if (Store().SetValue(Root::kLocalMachine, key, value, &problem)) return kExitOk;
  if (const auto status = ReportUnreadableStore(context)) return *status;
  context.err << "kiv: registry: cannot write '" << operands[1] << "' in '" << operands[0]
              << "': " << problem << '\n';
  return kExitFailed;
}

int List(Context& context, std::span<const std::string> args, bool json) {
  if (args.size() != 1) throw UsageError("registry list takes KEY");
  const std::u16string key = Wide(args[0], "KEY");
  if (!Store().KeyExists(Root::kLocalMachine, key)) {
    if (const auto status = ReportUnreadableStore(context)) return *status;
    context.err << "kiv: registry: no key '" << args[0] << "'\n";
    return kExitFailed;
  }
  std::map<std::u16string, std::u16string> values;
  CRegistryImpl().GetValues(key, values);
  Json listed = Json::array();
  for (const auto& [name, value] : values) {
    if (json) {
      listed.push_back({{"name", Narrow(name)}, {"value", Narrow(value)}});
    } else {
      context.out << (name.empty() ? "@" : Narrow(name)) << '=' << Narrow(value) << '\n';
    }
  }
  if (json) context.out << listed.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
  return kExitOk;
}

int RunRegistry(Context& context, std::span<const std::string> args) {
  if (args.empty()) throw UsageError("registry needs get, set or list");
  const std::string& action = args.front();
  std::vector<std::string> rest(args.begin() + 1, args.end());
  const bool json = std::erase(rest, "--json") != 0;
  if (action == "get") return Get(context, rest, json);
  if (action == "set") {
    if (json) throw UsageError("registry set prints nothing: --json does not apply");
    return Set(context, rest);
  }
  if (action == "list") return List(context, rest, json);
  throw UsageError("unknown registry action '" + action + "' (get, set or list)");
}

}  // namespace

Command RegistryCommand() {
  return {
      .name = "registry",
      .synopsis = "get|set|list KEY ...",
      .summary = "read and write the configuration store",
      .help =
          "  kiv registry get KEY NAME [--json]\n"
          "  kiv registry set KEY NAME (--dword N | --string S)\n"
          "  kiv registry list KEY [--json]\n"
          "\n"
          "Reads and writes the configuration store, the file named by KIV_REGISTRY\n"
          "(default /etc/kiv/registry.reg). KEY is a path below HKEY_LOCAL_MACHINE,\n"
          "for example 'Software\\ZIB Networks\\Zib'; keys and names match in any case.\n"
          "\n"
          "  get KEY NAME    prints the value: a number in unsigned decimal, a text as\n"
          "                  it is (cut to 2048 bytes, as the library reads it), other\n"
          "                  data in hex\n"
          "  set KEY NAME --dword N    stores a number (-2147483648 to 4294967295 or\n"
          "                            0x followed by hex digits)\n"
          "  set KEY NAME --string S   stores a text\n"
          "  list KEY        prints the key's texts and numbers as name=value lines\n"
          "                  sorted by name, numbers in signed decimal as the library\n"
          "                  lists them; '@' names the key's default value\n"
          "\n"
          "The settings the programs read are checked when set: LogLevel takes 0 to 4,\n"
          "DirectoryTimeout 1 to 3600, IdleConnectionTimeout 1 to 86400 (all with\n"
          "--dword); MaxMessageSize, MaxDecodingMemory and MaxCrashDumps take --dword;\n"
          "ListenAddress, AllowedPeers and Config's kiv.multicastGroup take --string.\n"
          "\n"
          "  --json   get prints {\"key\", \"name\", \"type\": \"dword\"|\"string\"|\"binary\",\n"
          "           \"value\"} (binary data as one hex string); list prints\n"
          "           [{\"name\", \"value\"}] (the default value's name is \"\")\n"
          "\n"
          "Exit status: 0 done; 1 no such value or key, or the store cannot be\n"
          "written; 2 wrong usage; 5 the store cannot be read (the message names\n"
          "its file, line and problem).\n",
      .run = RunRegistry,
  };
}

}  // namespace kiv::cli

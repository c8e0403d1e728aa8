#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <iostream>
#include <iterator>
#include <new>
#include <optional>

#include "tools/kiv/cli.h"
#include "tools/kiv/json_reader.h"

namespace kiv::cli {
namespace {

constexpr std::string_view kOverview =
    "usage: kiv [--directory HOST[:PORT]] [--name SATNAME] [--timeout SECONDS] COMMAND [ARGS...]\n"
    "\n"
    "Talks to kiv satellites and directories from the command line.\n"
    "\n"
    "Global options (before the command):\n"
    "  --directory HOST[:PORT]  the directory to use (default 127.0.0.1, port 29831)\n"
    "  --name SATNAME           the satellite name to use (default kiv-<pid>)\n"
    "  --timeout SECONDS        how long call, list, ping and serve's registration\n"
    "                           may take before exit status 4 (default 30; 0: no\n"
    "                           limit); the message says what was awaited\n"
    "  --help                   this text; 'kiv COMMAND --help' describes a command\n"
    "\n"
    "Commands:\n";

constexpr std::string_view kNotation =
    "\n"
    "Values are JSON documents. null, true/false, integers (i32 -> I4, else I8),\n"
    "numbers with a fraction or exponent (R8), strings (BSTR) and arrays (a\n"
    "zero-based VARIANT array) stand for themselves. Other types take object forms:\n"
    "  {\"T\": x}      T one of i1 ui1 i2 ui2 i4 ui4 i8 ui8 r4 r8 bool bstr date null\n"
    "  {\"T[]\": [..]} a zero-based array of T (or of variant)\n"
    "  {\"hex\": \"0a0b\"}  a zero-based UI1 array;  {\"empty\": null}  VT_EMPTY\n"
    "  {\"array\": \"T\", \"bounds\": [[lb1, n1], [lb2, n2], ...], \"data\": [...]}\n"
    "               1 to 10 dimensions, dimension 1 first; data in memory order\n"
    "               (dimension 1 varies fastest)\n"
    "date takes a DATE number or \"YYYY-MM-DDThh:mm:ss[.fff]Z\"; i8/ui8 take decimal\n"
    "strings too; r4/r8/date take \"inf\", \"-inf\", \"nan\" or \"0x\" and the hex bits;\n"
    "bool takes the raw bits 0..65535; bstr takes an array of UTF-16 units.\n"
    "\n"
    "Exit statuses: 0 done; 1 the operation answered no; 2 wrong usage or a bad\n"
    "value; 3 no directory answered; 4 timed out; 5 the configuration store\n"
    "cannot be read (kiv registry).\n";

const Command* FindCommand(std::string_view name) {
  for (const Command& command : Commands()) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

void PrintOverview(std::ostream& out) {
  out << kOverview;
  std::size_t width = 0;
  for (const Command& command : Commands()) {
    width = std::max(width, command.name.size() + 1 + command.synopsis.size());
  }
  for (const Command& command : Commands()) {
    const std::string head = std::string(command.name) + " " + std::string(command.synopsis);
    out << "  " << head << std::string(width - head.size() + 2, ' ') << command.summary << '\n';
  }
  out << kNotation;
}

std::optional<std::uint16_t> PortFrom(std::string_view text) {
  unsigned port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc() || end != text.data() + text.size() || port == 0 || port > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(port);
}

void SetDirectory(std::string_view text, GlobalOptions& options) {
  const auto colon = text.find(':');
  const std::string_view host = text.substr(0, colon);
  std::optional<std::uint16_t> port = kDirectoryPort;
  if (colon != std::string_view::npos) port = PortFrom(text.substr(colon + 1));
  if (host.empty() || !port) {
    throw UsageError("--directory takes HOST[:PORT], got '" + std::string(text) + "'");
  }
  options.directoryHost = host;
  options.directoryPort = *port;
}

// Seconds from 0 (no limit) to a day; fractions allowed.
double TimeoutFrom(const std::string& text) {
  double seconds = -1;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || seconds < 0 ||
      seconds > 86400) {
    throw UsageError("--timeout takes seconds from 0 (no limit) to 86400, got '" + text + "'");
  }
  return seconds;
}

// Reads "--option VALUE" or "--option=VALUE" at args[i]; advances i.
std::optional<std::string> OptionValue(std::span<const std::string> args, std::size_t& i,
                                       std::string_view option) {
  const std::string& arg = args[i];
  if (arg.size() > option.size() && arg.starts_with(option) && arg[option.size()] == '=') {
    return arg.substr(option.size() + 1);
  }
  if (arg != option) return std::nullopt;
  if (++i == args.size()) throw UsageError(std::string(option) + " needs a value");
  return args[i];
}

bool AsksForHelp(std::span<const std::string> args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "--help" || arg == "-h") return true;
  }
  return false;
}

}  // namespace

std::string OperandText(Context& context, std::span<const std::string> args,
                        std::string_view what) {
  if (!args.empty() && args.front() == "--") args = args.subspan(1);
  if (args.empty()) throw UsageError("missing " + std::string(what));
  if (args.size() == 1 && args.front() == "-") {
    return std::string(std::istreambuf_iterator<char>(context.in), {});
  }
  std::string text = args.front();
  for (const std::string& arg : args.subspan(1)) text += " " + arg;
  return text;
}

int RunKiv(std::span<const std::string> args, std::istream& in, std::ostream& out,
           std::ostream& err) {
  Context context{GlobalOptions{}, in, out, err};
  const Command* command = nullptr;
  try {
    std::size_t i = 0;
    for (; i < args.size() && args[i].starts_with("-"); ++i) {
      if (args[i] == "--help" || args[i] == "-h") {
        PrintOverview(out);
        return kExitOk;
      }
      if (auto host = OptionValue(args, i, "--directory")) {
        SetDirectory(*host, context.options);
      } else if (auto seconds = OptionValue(args, i, "--timeout")) {
        context.options.timeoutSeconds = TimeoutFrom(*seconds);
      } else if (auto name = OptionValue(args, i, "--name")) {
        if (name->empty()) throw UsageError("--name needs a non-empty value");
        context.options.name = *name;
      } else {
        throw UsageError("unknown option '" + args[i] + "'");
      }
    }
    if (i == args.size()) throw UsageError("no command given");
    command = FindCommand(args[i]);
    if (command == nullptr) throw UsageError("unknown command '" + args[i] + "'");
    const auto commandArgs = args.subspan(i + 1);
    if (AsksForHelp(commandArgs)) {
      out << "usage: kiv " << command->name << ' ' << command->synopsis << "\n\n" << command->help;
      return kExitOk;
    }
    if (context.options.name.empty()) context.options.name = "kiv-" + std::to_string(getpid());
    return command->run(context, commandArgs);
  } catch (const UsageError& e) {
    err << "kiv: " << e.what() << "\nTry 'kiv "
        << (command != nullptr ? std::string(command->name) + " " : "") << "--help'.\n";
    return kExitUsage;
  } catch (const NotationError& e) {
    err << "kiv: value: " << e.what() << '\n';
    return kExitUsage;
  } catch (const std::bad_alloc&) {
    err << "kiv: out of memory\n";
    return kExitFailed;
  } catch (const std::exception& e) {
    // No engine or no thread could be made: say so instead of aborting.
    err << "kiv: " << (command != nullptr ? std::string(command->name) + ": " : "") << e.what()
        << '\n';
    return kExitFailed;
  }
}

}  // namespace kiv::cli

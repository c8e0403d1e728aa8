#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <new>
#include <optional>

#include "kiv/version.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/directory_address.h"
#include "tools/kiv/json_reader.h"

namespace kiv::cli {
namespace {

constexpr std::string_view kOverview =
    "usage: kiv [--directory HOST[:PORT]] [--name SATNAME] [--timeout SECONDS] COMMAND [ARGS...]\n"
    "       kiv --version | --help\n"
    "\n"
    "Talks to kiv satellites and directories from the command line.\n"
    "\n"
    "Global options (before the command):\n"
    "  --directory HOST[:PORT]  the directory to use (default $KIV_DIRECTORY, else\n"
    "                           127.0.0.1; port 29831 unless given; an IPv6 literal\n"
    "                           goes in brackets, [::ffff:10.0.0.1]:29831, and must be\n"
    "                           IPv4-mapped: the directory speaks IPv4)\n"
    "  --name SATNAME           the satellite name to use (default kiv-<pid>)\n"
    "  --timeout SECONDS        how long call, list, ping, wait and serve's\n"
    "                           registration may take before exit status 4\n"
    "                           (default 30; 0: no limit); the message says what\n"
    "                           was awaited\n"
    "  --help                   this text; 'kiv COMMAND --help' describes a command\n"
    "  --version                print 'kiv VERSION'\n"
    "\n"
    "Output is for people; --json (list, wait, ping, serve, monitor, stats,\n"
    "registry get/list, discover --user) prints JSON with the field names\n"
    "'kiv COMMAND --help' lists.\n"
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
    "date takes a DATE number or \"YYYY-MM-DDThh:mm:ss[.fff]Z\" and prints as the\n"
    "text where it means exactly the same DATE (--date-numbers: as the number);\n"
    "i8/ui8 take decimal strings too; r4/r8/date take \"inf\", \"-inf\", \"nan\" or\n"
    "\"0x\" and the hex bits; bool takes the raw bits 0..65535; bstr takes an array\n"
    "of UTF-16 units.\n"
    "\n"
    "Environment: KIV_DIRECTORY (default for --directory), KIV_REGISTRY (the\n"
    "configuration store), KIV_DATA_DIR (logs: $KIV_DATA_DIR/ZibNetworks/Logs).\n"
    "\n"
    "Exit statuses: 0 done; 1 the operation answered no; 2 wrong usage or a bad\n"
    "value; 3 no directory answered; 4 timed out; 5 the configuration store\n"
    "cannot be read (kiv registry).\n";

void SetDirectory(std::string_view text, std::string_view source, GlobalOptions& options) {
  const DirectoryAddress address = ParseDirectoryAddress(text, source, kDirectoryPort);
  options.directoryHost = address.host;
  options.directoryPort = address.port;
}

const Command* FindCommand(std::string_view name) {
  for (const Command& command : Commands()) {
    if (command.name == name) return &command;
  }
  return nullptr;
}

void PrintOverview(std::ostream& out) {
  out << kOverview;
  // The synopses are too long to share a line with the summaries.
  for (const Command& command : Commands()) {
    out << "  " << command.name << (command.synopsis.empty() ? "" : " ") << command.synopsis
        << "\n      " << command.summary << '\n';
  }
  out << kNotation;
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

const std::string& NextValue(std::span<const std::string> args, std::size_t& i,
                             std::string_view what) {
  if (i + 1 == args.size() || args[i + 1].empty()) {
    throw UsageError(args[i] + " needs " + std::string(what));
  }
  return args[++i];
}

std::string OperandText(Context& context, std::span<const std::string> args,
                        std::string_view what) {
  if (!args.empty() && args.front() == "--") args = args.subspan(1);
  if (args.empty()) throw UsageError("missing " + std::string(what));
  if (args.size() > 1) {
    throw UsageError("one " + std::string(what) + " expected, got " + std::to_string(args.size()) +
                     " arguments; quote it as one argument, or give - and write it to standard "
                     "input");
  }
  if (args.front() == "-") return std::string(std::istreambuf_iterator<char>(context.in), {});
  return args.front();
}

int RunKiv(std::span<const std::string> args, std::istream& in, std::ostream& out,
           std::ostream& err) {
  Context context{GlobalOptions{}, in, out, err};
  const Command* command = nullptr;
  try {
    bool directoryGiven = false;
    std::size_t i = 0;
    for (; i < args.size() && args[i].starts_with("-"); ++i) {
      if (args[i] == "--help" || args[i] == "-h") {
        PrintOverview(out);
        return kExitOk;
      }
      if (args[i] == "--version") {
        out << "kiv " << KIV_VERSION_STRING << '\n';
        return kExitOk;
      }
      if (auto host = OptionValue(args, i, "--directory")) {
        SetDirectory(*host, "--directory", context.options);
        directoryGiven = true;
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
    // Checked even for commands that need no directory, so that a broken
    // setting shows at once rather than in the first command that uses it.
    const char* environment = std::getenv("KIV_DIRECTORY");
    if (!directoryGiven && environment != nullptr && *environment != '\0') {
      SetDirectory(environment, "KIV_DIRECTORY", context.options);
    }
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

// kiv ping NAME [--id N] | kiv ping HOST:PORT --id N: the library's pings
// (KivPingSatellite through the directory, KivPing at an address).
#include <charconv>
#include <optional>
#include <ostream>

#include "directory/directory_values.h"
#include "kiv/engine.h"
#include "kiv/kiv_exception.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"
#include "tools/kiv/caller_engine.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/command_deadline.h"
#include "tools/kiv/command_satellite.h"
#include "tools/kiv/json_reader.h"
#include "tools/kiv/result_text.h"
#include "tools/kiv/satellite_list.h"

namespace kiv::cli {
namespace {

struct PingOptions {
  std::string target;
  std::optional<std::int32_t> id;
  bool json = false;
};

std::optional<std::int64_t> Number(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

PingOptions ParseOptions(std::span<const std::string> args) {
  PingOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--id") {
      const auto id = i + 1 < args.size() ? Number(args[++i]) : std::nullopt;
      if (!id || *id < INT32_MIN || *id > INT32_MAX) throw UsageError("--id takes a satellite id");
      options.id = static_cast<std::int32_t>(*id);
    } else if (args[i] == "--json") {
      options.json = true;
    } else if (options.target.empty() && !args[i].starts_with("--")) {
      options.target = args[i];
    } else {
      throw UsageError("unexpected argument '" + args[i] + "'");
    }
  }
  return options;
}

// HOST:PORT with a port number, or nothing (a satellite name).
std::optional<std::pair<std::string, std::uint16_t>> Address(const std::string& target) {
  const auto colon = target.rfind(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  const auto port = Number(std::string_view(target).substr(colon + 1));
  if (!port || *port <= 0 || *port > 65535) return std::nullopt;
  return std::make_pair(target.substr(0, colon), static_cast<std::uint16_t>(*port));
}

PingOptions CheckedOptions(std::span<const std::string> args) {
  const PingOptions options = ParseOptions(args);
  if (options.target.empty()) throw UsageError("missing NAME or HOST:PORT");
  // An address has no name to look the id up by, and the id is what the
  // satellite checks: without it every answer would read "dead".
  if (!options.id && Address(options.target)) {
    throw UsageError("ping " + options.target + " needs --id N, the satellite's id ('kiv list' " +
                     "shows it), or give the satellite's NAME instead of its address");
  }
  return options;
}

int Print(Context& context, const PingOptions& options, std::int32_t id, std::int32_t result,
          std::int32_t status) {
  if (result != 0) context.err << "kiv: ping: " << DescribeCode(result) << '\n';
  const char* word = status == KIV_ALIVE ? "alive" : status == KIV_DEAD ? "dead" : "unknown";
  if (options.json) {
    Json answer = {{"target", options.target}, {"id", id}, {"state", word}};
    PutCode(answer, result);
    context.out << answer.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
  } else {
    context.out << word << '\n';
  }
  return status == KIV_ALIVE ? kExitOk : kExitFailed;
}

// The id the directory lists for the name; nothing when it lists none.
std::optional<std::int32_t> LookUpId(const CallerEngine& engine, Context& context,
                                     const std::u16string& name, std::int32_t* result) {
  const SatelliteListing listing = ListSatellites(engine);
  *result = listing.result;
  if (listing.unreadable) {
    context.err << "kiv: ping: unreadable satellite list: " << *listing.unreadable << '\n';
  }
  const directory::SatelliteRecord* record = Named(listing, name);
  if (record == nullptr) return std::nullopt;
  return record->id;
}

int PingByName(Context& context, CommandDeadline& deadline, const PingOptions& options) {
  const CallerEngine engine(context);
  deadline.Waiting("the directory at " + engine.directory() + " to say where " + options.target +
                   " runs");
  const std::u16string name = FromUtf8(options.target);
  std::int32_t id = options.id.value_or(0);
  if (!options.id) {
    std::int32_t result = 0;
    const auto listed = LookUpId(engine, context, name, &result);
    if (result == KIV_E_TIMED_OUT || IsUnreachable(result)) {
      return DirectoryFailure(context, "ping", engine, result, "list its satellites");
    }
    if (result != 0)
      context.err << "kiv: ping: no id from the directory: " << DescribeCode(result) << '\n';
    // Unlisted: the directory's "not available" answer makes the ping dead.
    id = listed.value_or(0);
  }
  const Bstr satellite(name);
  std::int32_t status = KIV_UNKNOWN;
  const std::int32_t result = KivPingSatellite(engine.get(), satellite.get(), id, &status);
  return Print(context, options, id, result, status);
}

int RunPing(Context& context, std::span<const std::string> args) {
  const PingOptions options = CheckedOptions(args);
  CommandDeadline deadline(context, "ping");
  const auto address = options.id ? Address(options.target) : std::nullopt;
  if (!address) return PingByName(context, deadline, options);
  deadline.Waiting(options.target + " to answer the ping");
  const CallerEngine engine(context);
  std::int32_t status = KIV_UNKNOWN;
  const std::int32_t result =
      KivPing(engine.get(), address->first.c_str(), address->second, *options.id, &status);
  return Print(context, options, *options.id, result, status);
}

}  // namespace

Command PingCommand() {
  return {
      .name = "ping",
      .synopsis = "(NAME [--id N] | HOST:PORT --id N) [--json]",
      .summary = "ping a satellite by name through the directory, or at an address",
      .help =
          "kiv ping NAME [--id N]\n"
          "    Asks the directory where NAME runs (without registering) and pings it\n"
          "    with id N. Without --id the id comes from the directory's list.\n"
          "kiv ping HOST:PORT --id N\n"
          "    Pings the satellite listening at HOST:PORT; no directory is involved.\n"
          "\n"
          "Prints 'alive' (it answered with id N), 'dead' (it answered for another\n"
          "id, or the directory says it is not available) or 'unknown' (it could\n"
          "not be reached).\n"
          "\n"
          "  --json   print {\"target\", \"id\", \"state\": \"alive\"|\"dead\"|\"unknown\",\n"
          "           \"code\", \"code_name\"} instead: the id pinged (0 for a name the\n"
          "           directory does not list) and the library's result code\n"
          "\n"
          "Exit status: 0 alive; 1 dead or unknown; 2 usage; 3 no directory;\n"
          "4 timed out.\n",
      .run = RunPing,
  };
}

}  // namespace kiv::cli

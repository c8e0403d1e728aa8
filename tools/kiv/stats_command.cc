// kiv stats [NAME|HOST:PORT] [--json]: a satellite's counters, which every
// engine answers to "GetKivStatistics" with their JSON text.
#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/value.h"
#include "tools/kiv/caller_engine.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/command_deadline.h"
#include "tools/kiv/command_satellite.h"
#include "tools/kiv/directory_address.h"
#include "tools/kiv/json_reader.h"
#include "tools/kiv/result_text.h"
#include "tools/kiv/satellite_list.h"

namespace kiv::cli {
namespace {

constexpr char kStatisticsRequest[] = "GetKivStatistics";
constexpr char kDirectoryName[] = "MainRegister";

struct StatsOptions {
  std::string target;  // empty: the directory
  bool json = false;
};

StatsOptions ParseOptions(std::span<const std::string> args) {
  StatsOptions options;
  for (const std::string& arg : args) {
    if (arg == "--json") {
      options.json = true;
    } else if (options.target.empty() && !arg.starts_with("--")) {
      options.target = arg;
    } else {
      throw UsageError("unexpected argument '" + arg + "'");
    }
  }
  return options;
}

// Where NAME runs, from the directory's list; nothing when it lists none.
std::optional<DirectoryAddress> LookUp(const CallerEngine& engine, const std::string& name,
                                       std::int32_t* result) {
  const SatelliteListing listing = ListSatellites(engine);
  *result = listing.result;
  const directory::SatelliteRecord* record = Named(listing, FromUtf8(name));
  if (record == nullptr) return std::nullopt;
  return DirectoryAddress{record->host, record->port};
}

// "name{label="value"}" as Prometheus writes a sample.
std::string SampleName(const Json& sample) {
  std::string text = sample.at("name").get<std::string>();
  const Json& labels = sample.at("labels");
  if (labels.empty()) return text;
  text += '{';
  for (auto label = labels.begin(); label != labels.end(); ++label) {
    if (label != labels.begin()) text += ',';
    text += label.key() + "=\"" + label.value().get<std::string>() + '"';
  }
  return text + '}';
}

int Print(Context& context, const StatsOptions& options, const std::string& answer) {
  Json samples;
  try {
    samples = Json::parse(answer);
    if (!samples.is_array()) throw std::runtime_error("not an array");
    if (options.json) {
      context.out << samples.dump() << '\n';
      return kExitOk;
    }
    std::vector<std::pair<std::string, std::string>> lines;
    std::size_t width = 0;
    for (const Json& sample : samples) {
      lines.emplace_back(SampleName(sample), sample.at("value").dump());
      width = std::max(width, lines.back().first.size());
    }
    for (const auto& [name, value] : lines) {
      context.out << name << std::string(width - name.size() + 1, ' ') << value << '\n';
    }
    return kExitOk;
  } catch (const std::exception& e) {
    context.err << "kiv: stats: unreadable answer from " << options.target << ": " << e.what()
                << '\n';
    return kExitFailed;
  }
}

// Asks the target and prints its counters; the exit status.
int Ask(Context& context, CommandDeadline& deadline, StatsOptions& options) {
  const CallerEngine engine(context);
  Variant none;
  Variant value;
  std::int32_t code = 0;
  std::int32_t result = 0;
  if (options.target.empty() || options.target == kDirectoryName) {
    options.target = kDirectoryName;
    deadline.Waiting("the directory at " + engine.directory() + " to report its counters");
    result = engine.AskDirectory(kStatisticsRequest, none.get(), value.get(), &code);
    if (result != 0)
      return DirectoryFailure(context, "stats", engine, result, "report its counters");
  } else {
    std::optional<DirectoryAddress> address;
    if (options.target.find(':') != std::string::npos) {
      address = ParseDirectoryAddress(options.target, "the target", 0);
      if (address->port == 0) throw UsageError("the target " + options.target + " needs a :PORT");
    } else {
      deadline.Waiting("the directory at " + engine.directory() + " to say where " +
                       options.target + " runs");
      address = LookUp(engine, options.target, &result);
      if (result == KIV_E_TIMED_OUT || IsUnreachable(result)) {
        return DirectoryFailure(context, "stats", engine, result, "list its satellites");
      }
      if (!address) {
        context.err << "kiv: stats: the directory at " << engine.directory() << " lists no "
                    << options.target << '\n';
        return kExitFailed;
      }
    }
    deadline.Waiting(options.target + " to report its counters");
    result = KivCall(engine.get(), address->host.c_str(), address->port, kStatisticsRequest,
                     none.get(), value.get(), &code);
    if (result != 0) {
      context.err << "kiv: stats: " << options.target << " did not answer: " << DescribeCode(result)
                  << '\n';
      return result == KIV_E_TIMED_OUT ? kExitTimedOut : kExitFailed;
    }
  }
  if (code != 0 || value->vt != VT_BSTR) {
    // An engine too old to keep counters takes the request for a service.
    context.err << "kiv: stats: " << options.target << " reports no counters (return code " << code
                << ")\n";
    return kExitFailed;
  }
  return Print(context, options,
               ToUtf8(std::u16string_view(value->bstrVal, SysStringLen(value->bstrVal))));
}

int RunStats(Context& context, std::span<const std::string> args) {
  StatsOptions options = ParseOptions(args);
  CommandDeadline deadline(context, "stats");
  return Ask(context, deadline, options);
}

}  // namespace

Command StatsCommand() {
  return {
      .name = "stats",
      .synopsis = "[NAME|HOST:PORT] [--json]",
      .summary = "print the counters of the directory or of a satellite",
      .help =
          "kiv stats [NAME|HOST:PORT]\n"
          "    Asks a satellite for its counters with the request \"GetKivStatistics\",\n"
          "    which every satellite answers: the directory (MainRegister) by default,\n"
          "    the satellite NAME (found in the directory's list), or the satellite\n"
          "    listening at HOST:PORT.\n"
          "\n"
          "Prints one 'name{label=\"value\"} value' line per counter, the names as\n"
          "Prometheus writes them (kiv_requests_served_total{result=\"ok\"} 12).\n"
          "\n"
          "  --json   print the answer instead: an array of {\"name\", \"help\",\n"
          "           \"type\": \"counter\"|\"gauge\", \"labels\": {NAME: VALUE}, \"value\"}\n"
          "\n"
          "Exit status: 0 answered; 1 not listed, unreachable or no counters;\n"
          "2 usage; 3 no directory; 4 timed out.\n",
      .run = RunStats,
  };
}

}  // namespace kiv::cli

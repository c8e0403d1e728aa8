// kiv list [--json] [--service S] [--all-services]: what the directory
// knows, from its "ListSatellites".
#include <algorithm>
#include <iomanip>
#include <optional>
#include <ostream>
#include <sstream>

#include "kiv/utf8.h"
#include "tools/kiv/caller_engine.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/command_deadline.h"
#include "tools/kiv/json_reader.h"
#include "tools/kiv/satellite_list.h"

namespace kiv::cli {
namespace {

using directory::SatelliteRecord;

struct ListOptions {
  bool json = false;
  bool allServices = false;
  std::optional<std::u16string> service;
};

ListOptions ParseOptions(std::span<const std::string> args) {
  ListOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--all-services") {
      options.allServices = true;
    } else if (arg == "--service") {
      const std::string& name = NextValue(args, i, "a name");
      if (options.service) throw UsageError("give --service once");
      options.service = FromUtf8(name);
    } else {
      throw UsageError("unexpected argument '" + arg + "'");
    }
  }
  return options;
}

std::string ServicesText(const SatelliteRecord& record) {
  std::string text;
  for (const auto& offer : record.services) {
    text += (text.empty() ? "" : ", ") + ToUtf8(offer.name);
  }
  return text;
}

void PrintJson(std::ostream& out, const std::vector<SatelliteRecord>& satellites) {
  Json list = Json::array();
  for (const SatelliteRecord& record : satellites) list.push_back(SatelliteJson(record));
  out << list.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
}

void PrintTable(std::ostream& out, const std::vector<SatelliteRecord>& satellites) {
  std::vector<std::vector<std::string>> rows{
      {"ID", "NAME", "ADDRESS", "COMPUTER", "MISSED", "SERVICES"}};
  for (const SatelliteRecord& record : satellites) {
    rows.push_back({std::to_string(record.id), ToUtf8(record.name),
                    record.host + ":" + std::to_string(record.port), ToUtf8(record.computer),
                    std::to_string(record.failedPings), ServicesText(record)});
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  }
  for (const auto& row : rows) {
    std::ostringstream line;
    for (std::size_t c = 0; c + 1 < row.size(); ++c) {
      line << std::left << std::setw(static_cast<int>(widths[c] + 2)) << row[c];
    }
    line << row.back();
    out << line.str() << '\n';
  }
}

int RunList(Context& context, std::span<const std::string> args) {
  const ListOptions options = ParseOptions(args);
  CommandDeadline deadline(context, "list");
  const CallerEngine engine(context);
  deadline.Waiting("the directory at " + engine.directory() + " to list its satellites");
  SatelliteListing listing = ListSatellites(engine);
  if (listing.result != 0) {
    return DirectoryFailure(context, "list", engine, listing.result, "list its satellites");
  }
  if (listing.unreadable) {
    context.err << "kiv: list: unreadable answer: " << *listing.unreadable << '\n';
    return kExitFailed;
  }
  std::vector<SatelliteRecord>& satellites = listing.satellites;
  if (options.service) {
    std::erase_if(satellites,
                  [&](const SatelliteRecord& r) { return !Offers(r, *options.service); });
  }
  HideInternalService(satellites, options.allServices);
  if (options.json) {
    PrintJson(context.out, satellites);
  } else {
    PrintTable(context.out, satellites);
  }
  return kExitOk;
}

}  // namespace

Command ListCommand() {
  return {
      .name = "list",
      .synopsis = "[--json] [--service S] [--all-services]",
      .summary = "list the satellites the directory knows",
      .help =
          "Asks the directory (kivd's \"ListSatellites\" request; kiv does not register)\n"
          "for every registered satellite: its id, name, address, computer name, the\n"
          "pings it missed in a row and its services, in registration order.\n"
          "\n"
          "  --service S     only the satellites offering service S (case ignored)\n"
          "  --all-services  also show OnServiceAvailabilityChanged, the service the\n"
          "                  library adds to every satellite for its notices\n"
          "  --json          one JSON array of {\"id\", \"name\", \"host\", \"port\",\n"
          "                  \"computer\", \"services\": [{\"name\", \"description\"}],\n"
          "                  \"missed_pings\"}\n"
          "\n"
          "Exit status: 0 listed (also when none matched); 1 the directory gave no\n"
          "list; 2 usage; 3 no directory; 4 timed out (--timeout, or the directory\n"
          "did not answer in time).\n",
      .run = RunList,
  };
}

}  // namespace kiv::cli

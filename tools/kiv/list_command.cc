// kiv list [--json]: what the directory knows, from its "ListSatellites".
#include <algorithm>
#include <iomanip>
#include <ostream>
#include <sstream>

#include "directory/directory_values.h"
#include "kiv/kiv_exception.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"
#include "tools/kiv/caller_engine.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/command_deadline.h"
#include "tools/kiv/json_reader.h"

namespace kiv::cli {
namespace {

using directory::SatelliteRecord;

std::string ServicesText(const SatelliteRecord& record) {
  std::string text;
  for (const auto& offer : record.services) {
    text += (text.empty() ? "" : ", ") + ToUtf8(offer.name);
  }
  return text;
}

void PrintJson(std::ostream& out, const std::vector<SatelliteRecord>& satellites) {
  Json list = Json::array();
  for (const SatelliteRecord& record : satellites) {
    Json services = Json::array();
    for (const auto& offer : record.services) {
      services.push_back(
          {{"name", ToUtf8(offer.name)}, {"description", ToUtf8(offer.description)}});
    }
    list.push_back({{"id", record.id},
                    {"name", ToUtf8(record.name)},
                    {"host", record.host},
                    {"port", record.port},
                    {"computer", ToUtf8(record.computer)},
                    {"services", services},
                    {"missedPings", record.failedPings}});
  }
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
  bool json = false;
  for (const std::string& arg : args) {
    if (arg != "--json") throw UsageError("unexpected argument '" + arg + "'");
    json = true;
  }
  CommandDeadline deadline(context, "list");
  const CallerEngine engine(context);
  deadline.Waiting("the directory at " + engine.directory() + " to list its satellites");
  Variant none;
  Variant list;
  std::int32_t code = 0;
  const std::string request = ToUtf8(directory::kListSatellites);
  std::int32_t result = engine.AskDirectory(request.c_str(), none.get(), list.get(), &code);
  if (result == 0) result = code;
  if (result != 0) return DirectoryFailure(context, "list", engine, result, "list its satellites");
  std::vector<SatelliteRecord> satellites;
  try {
    satellites = directory::ReadListAnswer(*list);
  } catch (const KivException& e) {
    context.err << "kiv: list: unreadable answer: " << ToUtf8(e.getMessage()) << '\n';
    return kExitFailed;
  }
  if (json) {
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
      .synopsis = "[--json]",
      .summary = "list the satellites the directory knows",
      .help =
          "Asks the directory (kivd's \"ListSatellites\" request; kiv does not register)\n"
          "for every registered satellite: its id, name, address, computer name, the\n"
          "pings it missed in a row and its services, in registration order.\n"
          "\n"
          "  --json   one JSON array of {\"id\", \"name\", \"host\", \"port\", \"computer\",\n"
          "           \"services\": [{\"name\", \"description\"}], \"missedPings\"}\n"
          "\n"
          "Exit status: 0 listed; 1 the directory gave no list; 3 no directory;\n"
          "4 timed out (--timeout, or the directory did not answer in time).\n",
      .run = RunList,
  };
}

}  // namespace kiv::cli

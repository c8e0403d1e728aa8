// kiv wait NAME | kiv wait --service S: returns as soon as the directory
// lists the satellite, or a satellite offering the service; for scripts and
// for units that must start after another program registered.
#include <chrono>
#include <optional>
#include <ostream>
#include <thread>

#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "tools/kiv/caller_engine.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/command_deadline.h"
#include "tools/kiv/command_satellite.h"
#include "tools/kiv/satellite_list.h"

namespace kiv::cli {
namespace {

using directory::SatelliteRecord;

// Between two asks of the directory: quick enough for a script, light
// enough for a directory that many waiting scripts ask at once.
constexpr auto kAskInterval = std::chrono::milliseconds(200);

struct WaitOptions {
  std::string name;     // set unless service is
  std::string service;  // set unless name is
  bool json = false;
};

WaitOptions ParseOptions(std::span<const std::string> args) {
  WaitOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--service") {
      const std::string& name = NextValue(args, i, "a name");
      if (!options.service.empty()) throw UsageError("give --service once");
      options.service = name;
    } else if (arg.starts_with("--") || !options.name.empty()) {
      throw UsageError("unexpected argument '" + arg + "'");
    } else {
      options.name = arg;
    }
  }
  if (options.name.empty() == options.service.empty()) {
    throw UsageError("wait takes a satellite NAME or --service S (one of them)");
  }
  return options;
}

const SatelliteRecord* Find(const std::vector<SatelliteRecord>& satellites,
                            const WaitOptions& options) {
  const std::u16string wanted = FromUtf8(options.name.empty() ? options.service : options.name);
  for (const SatelliteRecord& record : satellites) {
    if (options.name.empty() ? Offers(record, wanted) : record.name == wanted) return &record;
  }
  return nullptr;
}

int RunWait(Context& context, std::span<const std::string> args) {
  const WaitOptions options = ParseOptions(args);
  CommandDeadline deadline(context, "wait");
  const CallerEngine engine(context);
  const std::string awaited = options.name.empty() ? "a satellite offering " + options.service
                                                   : "the satellite " + options.name;
  const std::string where = " to register with the directory at " + engine.directory();
  deadline.Waiting(awaited + where + " (no directory answered)");
  for (;;) {
    SatelliteListing listing = ListSatellites(engine);
    if (listing.result == 0 && !listing.unreadable) {
      deadline.Waiting(awaited + where + " (the directory answers; not registered yet)");
      if (const SatelliteRecord* found = Find(listing.satellites, options)) {
        std::vector<SatelliteRecord> one{*found};
        HideInternalService(one, false);
        const SatelliteRecord& shown = one.front();
        if (options.json) {
          context.out << SatelliteJson(shown).dump(-1, ' ', false, Json::error_handler_t::replace)
                      << '\n';
        } else {
          context.out << ToUtf8(shown.name) << " registered at " << shown.host << ':' << shown.port
                      << " (id " << shown.id << ")\n";
        }
        return kExitOk;
      }
    } else if (listing.unreadable) {
      context.err << "kiv: wait: unreadable answer: " << *listing.unreadable << '\n';
      return kExitFailed;
    } else if (!IsUnreachable(listing.result) && listing.result != KIV_E_TIMED_OUT) {
      // A directory that answers no will not answer yes by being asked again.
      return DirectoryFailure(context, "wait", engine, listing.result, "list its satellites");
    }
    std::this_thread::sleep_for(kAskInterval);
  }
}

}  // namespace

Command WaitCommand() {
  return {
      .name = "wait",
      .synopsis = "(NAME | --service S) [--json]",
      .summary = "wait until a satellite, or one offering a service, is registered",
      .help =
          "Asks the directory every 0.2 s (without registering) until it lists the\n"
          "satellite NAME, or with --service any satellite offering S (case ignored),\n"
          "and prints 'NAME registered at HOST:PORT (id N)'. A directory that does not\n"
          "answer yet is asked again, so kiv wait may start before kivd. Gives up\n"
          "after the global --timeout (default 30 s; 0 waits for ever), saying what\n"
          "it waited for and whether any directory answered.\n"
          "\n"
          "  --json   print the satellite as 'kiv list --json' prints one: {\"id\",\n"
          "           \"name\", \"host\", \"port\", \"computer\", \"services\", \"missed_pings\"}\n"
          "\n"
          "Exit status: 0 registered; 1 the directory refused the list; 2 usage;\n"
          "4 timed out.\n",
      .run = RunWait,
  };
}

}  // namespace kiv::cli

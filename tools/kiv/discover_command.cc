// kiv discover [--for SECONDS] [--user USER]: follows the directories on the
// discovery group and prints one JSON line per event, or waits for one user's
// directory as KivSatellite::ConnectUser does and prints its ip:port.
#include <charconv>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>

#include "discovery/discover_client.h"
#include "kiv/discover.h"
#include "kiv/utf8.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/stop_signals.h"

namespace kiv::cli {
namespace {

// ConnectUser's wait.
constexpr unsigned kDefaultUserWaitMs = 5000;

struct DiscoverOptions {
  std::optional<double> seconds;
  std::optional<std::string> user;
  bool json = false;
};

double Seconds(const std::string& text) {
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(seconds) || seconds < 0 || seconds > 1e6) {
    throw UsageError("--for takes a number of seconds (0 to 1000000), got '" + text + "'");
  }
  return seconds;
}

DiscoverOptions ParseOptions(std::span<const std::string> args) {
  DiscoverOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if ((arg == "--for" || arg == "--user") && i + 1 == args.size()) {
      throw UsageError(arg + " needs a value");
    }
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--for") {
      options.seconds = Seconds(args[++i]);
    } else if (arg == "--user") {
      options.user = args[++i];
    } else {
      throw UsageError("unexpected argument '" + arg + "'");
    }
  }
  return options;
}

// Prints every callback as one JSON line and flushes it at once, so that a
// reader sees events as they happen. Runs on the discovery thread, the only
// writer of the stream while it is registered.
class EventPrinter : public KivDiscover {
 public:
  // KivDiscover registers the object before this part is built and removes
  // it after this part is gone; registering again here (a no-op) and leaving
  // here keep the discovery thread to the finished object.
  explicit EventPrinter(std::ostream& out) : out_(out) { GetDiscoverClient()->AddListener(this); }
  ~EventPrinter() override { GetDiscoverClient()->RemoveListener(this); }
  EventPrinter(const EventPrinter&) = delete;
  EventPrinter& operator=(const EventPrinter&) = delete;

  int OnKivDirectoryUp(const char* serverId, const char* const* users, unsigned count) override {
    return Print("up", serverId, users, count, false);
  }
  int OnKivDirectoryDown(const char* serverId, const char* const* users, unsigned count,
                         bool shutdown) override {
    return Print("down", serverId, users, count, shutdown);
  }
  int OnAddUser(const char* serverId, const char* const* users, unsigned count) override {
    return Print("adduser", serverId, users, count, false);
  }
  int OnRemoveUser(const char* serverId, const char* const* users, unsigned count) override {
    return Print("removeuser", serverId, users, count, false);
  }

 private:
  int Print(const char* event, const char* serverId, const char* const* users, unsigned count,
            bool shutdown) {
    nlohmann::ordered_json line;
    line["event"] = event;
    line["server"] = serverId;
    line["users"] = nlohmann::ordered_json::array();
    for (unsigned i = 0; i < count; ++i) line["users"].push_back(users[i]);
    line["shutdown"] = shutdown;
    // Names are bytes from the network: print what is not UTF-8 as U+FFFD.
    out_ << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
    out_.flush();
    return 0;
  }

  std::ostream& out_;
};

int WaitForUser(Context& context, const std::string& user, std::optional<double> seconds,
                bool json) {
  // The library carries names unit by unit; refuse what would not come back
  // as the same bytes rather than wait for a name no directory can match.
  const std::u16string wide = FromUtf8(user);
  if (ToUtf8(wide) != user) throw UsageError("USER holds text the library cannot carry");
  const unsigned timeoutMs =
      seconds ? static_cast<unsigned>(std::llround(*seconds * 1000)) : kDefaultUserWaitMs;
  const boost::shared_ptr<KivDiscoverClient> client = GetDiscoverClient();
  std::u16string host;
  if (client->WaitForUser(wide, timeoutMs, host) != KivDiscoverClient::kUserFound) {
    context.err << "kiv: discover: no directory hosts '" << user << "' (waited " << timeoutMs
                << " ms)\n";
    return kExitTimedOut;
  }
  if (json) {
    context.out << nlohmann::ordered_json{{"user", user}, {"directory", ToUtf8(host)}}.dump(
                       -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                << '\n';
  } else {
    context.out << ToUtf8(host) << '\n';
  }
  context.out.flush();
  return kExitOk;
}

int RunDiscover(Context& context, std::span<const std::string> args) {
  const DiscoverOptions options = ParseOptions(args);
  if (options.user) return WaitForUser(context, *options.user, options.seconds, options.json);
  StopSignals signals;
  EventPrinter printer(context.out);
  if (options.seconds) {
    signals.WaitFor(std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(*options.seconds)));
  } else {
    signals.Wait();
  }
  return kExitOk;
}

}  // namespace

Command DiscoverCommand() {
  return {
      .name = "discover",
      .synopsis = "[--for SECONDS] [--user USER [--json]]",
      .summary = "follow directories and their users on the discovery group",
      .help =
          "Joins the discovery group (UDP port 1901; the group is the configuration\n"
          "store's kiv.multicastGroup, default 239.255.255.251), asks the directories\n"
          "to announce themselves and prints one JSON line per event until SIGINT or\n"
          "SIGTERM, or for SECONDS:\n"
          "  {\"event\": \"up\"|\"down\"|\"adduser\"|\"removeuser\", \"server\": ID,\n"
          "   \"users\": [...], \"shutdown\": bool}\n"
          "'up' lists the users assigned to a directory that appeared, 'down' those it\n"
          "had when it went away (\"shutdown\": true when it said so), 'adduser' and\n"
          "'removeuser' the users that moved.\n"
          "\n"
          "With --user, waits for a directory that hosts USER, as connecting to a user\n"
          "does (5 seconds, or SECONDS), and prints that directory's ip:port instead;\n"
          "with --json as {\"user\": USER, \"directory\": \"ip:port\"}. The events are\n"
          "JSON lines already; --json without --user changes nothing.\n"
          "\n"
          "Exit status: 0 done; 2 usage; 4 --user timed out.\n",
      .run = RunDiscover,
  };
}

}  // namespace kiv::cli

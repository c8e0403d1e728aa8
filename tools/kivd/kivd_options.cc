#include "tools/kivd/kivd_options.h"

#include <netinet/in.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>

#include "kiv/utf8.h"

namespace kiv::directory {
namespace {

// Satellites treat 41 seconds without a sign of life as a restart of their
// directory, and discovery forgets a directory silent for as long.
constexpr double kSilenceLimitSeconds = 41;
constexpr double kShortestInterval = 0.05;

std::chrono::milliseconds Interval(const std::string& option, const std::string& text) {
  double seconds = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
      !std::isfinite(seconds) || seconds < kShortestInterval || seconds >= kSilenceLimitSeconds) {
    throw OptionsError(option + " takes seconds from 0.05 to below 41, got '" + text + "'");
  }
  return std::chrono::milliseconds(std::llround(seconds * 1000));
}

bool IsControl(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
}

// Text the library carries unit by unit comes back as the same bytes.
bool SurvivesTheLibrary(const std::string& text) {
  return ToUtf8(FromUtf8(text)) == text;
}

std::string ServerId(const std::string& text) {
  const bool blankEnds = !text.empty() && (text.front() == ' ' || text.back() == ' ');
  const bool control = std::any_of(text.begin(), text.end(), IsControl);
  if (text.empty() || blankEnds || control || !SurvivesTheLibrary(text)) {
    throw OptionsError(
        "--server-id takes a non-empty name without control characters or "
        "blanks at its ends, got '" +
        text + "'");
  }
  return text;
}

// "a,b,c"; an empty text is an empty list.
std::vector<std::string> NameList(const std::string& option, const std::string& text) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (!text.empty() && start <= text.size()) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string name = text.substr(start, comma - start);
    const bool bad = name.empty() || name.find(' ') != std::string::npos ||
                     std::any_of(name.begin(), name.end(), IsControl) || !SurvivesTheLibrary(name);
    if (bad) {
      throw OptionsError(option + " takes names separated by commas, without blanks, got '" + text +
                         "'");
    }
    names.push_back(name);
    start = comma + 1;
  }
  return names;
}

std::optional<std::uint16_t> PortNumber(const std::string& text) {
  unsigned port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || port < 1 ||
      port > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(port);
}

std::uint16_t Port(const std::string& text) {
  const std::optional<std::uint16_t> port = PortNumber(text);
  if (!port) throw OptionsError("--port takes a TCP port from 1 to 65535, got '" + text + "'");
  return *port;
}

// "PORT" (on loopback: the page tells anyone who reaches it everything the
// directory knows) or "ADDRESS:PORT".
KivdOptions::HttpEndpoint HttpEndpoint(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  const std::optional<IPv4Address> address = colon == std::string::npos
                                                 ? std::optional(htonl(INADDR_LOOPBACK))
                                                 : ParseDottedAddress(text.substr(0, colon));
  const std::optional<std::uint16_t> port =
      PortNumber(colon == std::string::npos ? text : text.substr(colon + 1));
  if (!address || !port) {
    throw OptionsError("--http takes [ADDRESS:]PORT such as 8080 or 0.0.0.0:8080, got '" + text +
                       "'");
  }
  return {*address, *port};
}

IPv4Address ListenAddress(const std::string& text) {
  const std::optional<IPv4Address> address = ParseDottedAddress(text);
  if (!address) {
    throw OptionsError("--listen takes an IPv4 address such as 127.0.0.1, got '" + text + "'");
  }
  return *address;
}

// Adds the networks of one --allow to those of the earlier ones.
void AddAllowed(std::optional<std::vector<Ipv4Network>>& allowed, const std::string& text) {
  std::string problem;
  const std::optional<std::vector<Ipv4Network>> networks = ParseNetworkList(text, &problem);
  if (!networks || networks->empty()) {
    throw OptionsError("--allow takes IPv4 networks such as 127.0.0.0/8,10.1.0.0/16, got '" + text +
                       "'" + (problem.empty() ? "" : ": " + problem));
  }
  if (!allowed) allowed.emplace();
  allowed->insert(allowed->end(), networks->begin(), networks->end());
}

// "--option VALUE" or "--option=VALUE" at args[i]; advances i.
std::optional<std::string> Value(std::span<const std::string> args, std::size_t& i,
                                 const std::string& option) {
  const std::string& arg = args[i];
  if (arg.size() > option.size() && arg.starts_with(option) && arg[option.size()] == '=') {
    return arg.substr(option.size() + 1);
  }
  if (arg != option) return std::nullopt;
  if (++i == args.size()) throw OptionsError(option + " needs a value");
  return args[i];
}

}  // namespace

const char kKivdUsage[] =
    "usage: kivd [--server-id ID] [--users U1,U2] [--aliases A1,A2]\n"
    "            [--ping-interval S] [--notify-interval S] [--allow-takeover]\n"
    "            [--listen ADDRESS] [--allow CIDR[,CIDR...]]... [--port N]\n"
    "            [--log-file[=PATH]] [--http [ADDRESS:]PORT]\n"
    "       kivd --version | --help\n"
    "\n"
    "Runs the kiv directory: the satellite \"MainRegister\" on TCP port 29831. It\n"
    "keeps the satellites' registrations, answers their lookups, pings them (three\n"
    "missed pings in a row drop a satellite), tells availability listeners when\n"
    "services come and go, and announces itself on the discovery group (NOTIFY at\n"
    "start, on every SEARCH and every notify interval; BYEBYE at stop). Prints\n"
    "'ready ID' once it accepts connections (and tells systemd when NOTIFY_SOCKET\n"
    "is set); SIGINT or SIGTERM stop it cleanly; SIGHUP reads the store's LogLevel\n"
    "again.\n"
    "A name belongs to one live satellite: a registration of a name whose holder\n"
    "answers a ping is refused (0x00020030). The table is kept in\n"
    "$KIV_DATA_DIR/ZibNetworks/kivd-table.json (KIV_DATA_DIR defaults to\n"
    "$STATE_DIRECTORY under systemd, else /var/lib, else, when that cannot be\n"
    "written, $XDG_STATE_HOME/kiv or ~/.local/state/kiv); after a restart the\n"
    "satellites remembered there that answer a ping are known again at once.\n"
    "It logs to standard error (with syslog priorities when the journal keeps it).\n"
    "\n"
    "  --server-id ID       the identity satellites know this directory by; keep it\n"
    "                       the same across restarts (default: the host name)\n"
    "  --users U1,U2        the users this directory hosts (default: none)\n"
    "  --aliases A1,A2      names or addresses announced for it (default: host name)\n"
    "  --ping-interval S    seconds between pings of each satellite (default 10)\n"
    "  --notify-interval S  seconds between NOTIFY announcements (default 15)\n"
    "  --allow-takeover     let a registration replace the holder of its name even\n"
    "                       when the holder is alive (the rule before names were\n"
    "                       guarded)\n"
    "  --listen ADDRESS     the IPv4 address to accept connections on, such as\n"
    "                       127.0.0.1 for this machine only (default: the store's\n"
    "                       ListenAddress, else all)\n"
    "  --allow CIDR,...     serve only peers in these networks, such as 10.1.0.0/16;\n"
    "                       repeatable; others get 0x80068003; the address kivd\n"
    "                       reaches itself at (127.0.0.1, or --listen's) is always\n"
    "                       added (default: the store's AllowedPeers, else all)\n"
    "  --port N             the TCP port to serve on, 1-65535 (default 29831);\n"
    "                       satellites then name it: --directory HOST:N\n"
    "  --log-file[=PATH]    log into PATH instead of standard error (default:\n"
    "                       $LOGS_DIRECTORY/kiv.log under systemd, else\n"
    "                       $KIV_DATA_DIR/ZibNetworks/Logs/kiv.log)\n"
    "  --http [ADDRESS:]PORT\n"
    "                       serve a status page for people and metrics over HTTP\n"
    "                       (/, /healthz, /satellites, /events, /stats, /metrics);\n"
    "                       ADDRESS defaults to 127.0.0.1; no authentication, so\n"
    "                       keep it on loopback or a trusted network (default:\n"
    "                       not served)\n"
    "  --version            print 'kivd VERSION' and exit\n"
    "Both intervals take fractions and must stay below 41 seconds.\n"
    "\n"
    "Exit status: 0 after a clean stop; 1 when it cannot start (its TCP port, the\n"
    "discovery port or the --http address taken); 2 wrong usage; 5 the\n"
    "configuration store (KIV_REGISTRY) cannot be read, or its ListenAddress or\n"
    "AllowedPeers is malformed: the message names the problem.\n";

KivdOptions ParseKivdOptions(std::span<const std::string> args, const std::string& hostName) {
  KivdOptions options;
  options.serverId = hostName;
  options.aliases = {hostName};
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--help" || args[i] == "-h") {
      options.help = true;
    } else if (args[i] == "--version") {
      options.version = true;
    } else if (args[i] == "--log-file") {
      options.logFile = "";
    } else if (args[i].starts_with("--log-file=")) {
      options.logFile = args[i].substr(std::strlen("--log-file="));
      if (options.logFile->empty()) throw OptionsError("--log-file= needs a path");
    } else if (auto port = Value(args, i, "--port")) {
      options.port = Port(*port);
    } else if (auto id = Value(args, i, "--server-id")) {
      options.serverId = ServerId(*id);
    } else if (auto users = Value(args, i, "--users")) {
      options.users = NameList("--users", *users);
    } else if (auto aliases = Value(args, i, "--aliases")) {
      options.aliases = NameList("--aliases", *aliases);
    } else if (auto ping = Value(args, i, "--ping-interval")) {
      options.pingInterval = Interval("--ping-interval", *ping);
    } else if (auto notify = Value(args, i, "--notify-interval")) {
      options.notifyInterval = Interval("--notify-interval", *notify);
    } else if (auto listen = Value(args, i, "--listen")) {
      options.listenAddress = ListenAddress(*listen);
    } else if (auto http = Value(args, i, "--http")) {
      options.http = HttpEndpoint(*http);
    } else if (auto allow = Value(args, i, "--allow")) {
      AddAllowed(options.allowedPeers, *allow);
    } else if (args[i] == "--allow-takeover") {
      options.allowTakeover = true;
    } else {
      throw OptionsError("unknown argument '" + args[i] + "'");
    }
  }
  return options;
}

}  // namespace kiv::directory

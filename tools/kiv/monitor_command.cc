// kiv monitor [--service S] [--satellite NAME] [--json] [--count N] [--for
// SECONDS]: follows the directory ("AddDirectoryEventListener") and prints
// one line per change as the directory sends it, and the directory's own
// going and coming back as the library reports them.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <ostream>

#include "directory/directory_events.h"
#include "directory/directory_values.h"
#include "kiv/kiv_exception.h"
#include "kiv/utf8.h"
#include "kiv/value.h"
#include "support/threads/mutex.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/command_deadline.h"
#include "tools/kiv/command_satellite.h"
#include "tools/kiv/result_text.h"
#include "tools/kiv/satellite_list.h"
#include "tools/kiv/stop_signals.h"

namespace kiv::cli {
namespace {

using directory::DirectoryEvent;
using EventJson = nlohmann::json;

// How often the main thread looks whether --count was reached.
constexpr auto kCountCheck = std::chrono::milliseconds(50);

struct MonitorOptions {
  std::string service;    // empty: any
  std::string satellite;  // empty: any
  bool json = false;
  std::uint64_t count = 0;  // 0: no limit
  double seconds = 0;       // 0: until a signal
};

MonitorOptions ParseOptions(std::span<const std::string> args) {
  MonitorOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--service") {
      options.service = NextValue(args, i);
    } else if (arg == "--satellite") {
      options.satellite = NextValue(args, i);
    } else if (arg == "--count") {
      const std::string text = NextValue(args, i);
      const auto [end, error] =
          std::from_chars(text.data(), text.data() + text.size(), options.count);
      if (error != std::errc() || end != text.data() + text.size() || options.count == 0) {
        throw UsageError("--count takes a number of events from 1, got '" + text + "'");
      }
    } else if (arg == "--for") {
      const std::string text = NextValue(args, i);
      const auto [end, error] =
          std::from_chars(text.data(), text.data() + text.size(), options.seconds);
      if (error != std::errc() || end != text.data() + text.size() || options.seconds <= 0 ||
          options.seconds > 86400) {
        throw UsageError("--for takes seconds from 0 to 86400, got '" + text + "'");
      }
    } else {
      throw UsageError("unexpected argument '" + arg + "'");
    }
  }
  return options;
}

bool SameCaseless(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}

char Mark(const std::string& kind) {
  if (kind == "registered" || kind == "directory_back") return '+';
  if (kind == "reregistered" || kind == "present") return '=';
  if (kind == "directory_lost") return '!';
  return '-';
}

// "+ registered    alpha  id 3  127.0.0.1:40001  Echo,Sleep".
std::string HumanLine(const EventJson& event) {
  const std::string kind = event.at("kind");
  const std::string at =
      event.at("address").get<std::string>() + ":" + std::to_string(event.at("port").get<int>());
  if (kind == "directory_lost") return "! directory went away  " + at;
  if (kind == "directory_back") return "+ directory came back  " + at;
  std::string line = std::string(1, Mark(kind)) + " " + kind;
  line.resize(std::max<std::size_t>(line.size(), 14) + 2, ' ');
  line += event.at("satellite").get<std::string>() + "  id " +
          std::to_string(event.at("id").get<long long>()) + "  " + at;
  std::string services;
  for (const auto& service : event.at("services")) {
    services += (services.empty() ? "" : ",") + service.get<std::string>();
  }
  if (!services.empty()) line += "  " + services;
  if (kind == "dropped") line += "  (missed pings)";
  return line;
}

// Prints the events that pass the filters, up to --count, one line each,
// flushed at once. Events arrive on engine worker threads (one at a time:
// the directory waits for each answer), the directory's state on others.
class EventPrinter {
 public:
  EventPrinter(std::ostream& out, const MonitorOptions& options) : out_(out), options_(options) {}

  // Throws nlohmann::json::exception for an event without the fields.
  void Print(const EventJson& event) {
    const std::string kind = event.at("kind");
    const bool own = kind.starts_with("directory_");
    if (!own && !options_.satellite.empty() && event.at("satellite") != options_.satellite) return;
    if (!own && !options_.service.empty() &&
        std::none_of(event.at("services").begin(), event.at("services").end(),
                     [&](const EventJson& s) {
                       return SameCaseless(s.get<std::string>(), options_.service);
                     })) {
      return;
    }
    // As in `kiv list`: the library's own service says nothing of the satellite.
    EventJson shown = event;
    EventJson& services = shown.at("services");
    services = EventJson::array();
    for (const EventJson& service : event.at("services")) {
      if (service != ToUtf8(kInternalService)) services.push_back(service);
    }
    const std::string line = options_.json
                                 ? shown.dump(-1, ' ', false, EventJson::error_handler_t::replace)
                                 : HumanLine(shown);
    PScopedLock hold(&lock_);
    if (Done()) return;
    out_ << line << std::endl;
    printed_.fetch_add(1);
  }
  bool Done() const { return options_.count != 0 && printed_.load() >= options_.count; }

 private:
  PMutex lock_;
  std::ostream& out_;
  const MonitorOptions& options_;
  std::atomic<std::uint64_t> printed_{0};
};

// "OnDirectoryEvent": the directory's JSON text of one event.
class EventHandler : public KivSatelliteDelegateGeneric {
 public:
  explicit EventHandler(EventPrinter& printer) : printer_(printer) {}

  std::int32_t Invoke(const char16_t*, const VARIANT& in, VARIANT*) override {
    if (in.vt != VT_BSTR) throw KivInvalidParameterException(u"expects the event as JSON text");
    try {
      printer_.Print(
          EventJson::parse(ToUtf8(std::u16string_view(in.bstrVal, SysStringLen(in.bstrVal)))));
    } catch (const nlohmann::json::exception&) {
      throw KivInvalidParameterException(u"expects an event's JSON text");
    }
    return 0;
  }

 private:
  EventPrinter& printer_;
};

// Subscribes again whenever the directory is back, and tells the printer
// when it went and came back. The library reports the directory's state on
// its own threads; it sends its listener subscriptions from there too.
class MonitorSatellite : public CommandSatellite {
 public:
  MonitorSatellite(EventPrinter& printer, const GlobalOptions& options)
      : CommandSatellite([&printer](CommandSatellite& self) {
          self.AddService(directory::kEventService, u"hears the directory's changes",
                          new EventHandler(printer));
        }),
        printer_(printer),
        directory_(options.directoryHost),
        port_(options.directoryPort) {}
  ~MonitorSatellite() override { Disconnect(); }

  // 0, or the request's code or the directory's status.
  std::int32_t Follow(bool follow) {
    following_ = follow;
    Variant answer;
    return AskDirectory(follow ? directory::kAddEventListener : directory::kRemoveEventListener,
                        *Variant(), answer);
  }

 protected:
  std::int32_t OnStatusChange(std::int32_t, KIVSTATUS status) override {
    if (!following_) return 0;  // connecting, or leaving
    if (status == KIV_DEAD || status == KIV_SHUTDOWN) {
      if (!lost_.exchange(true)) Tell("directory_lost");
    } else if (status == KIV_ALIVE) {
      // Also when the loss went unnoticed: a directory that restarted
      // within the silence the library allows has forgotten its followers.
      // Told first: the events the new subscription brings come after it.
      const bool wasLost = lost_.exchange(false);
      if (wasLost) Tell("directory_back");
      Follow(true);
      // Changes made while nobody followed were not heard: the table as it
      // is now stands in for them.
      if (wasLost) TellPresent();
    }
    return 0;
  }

 private:
  // One "present" line per satellite the directory lists, in its order.
  void TellPresent() {
    Variant list;
    if (AskDirectory(directory::kListSatellites, *Variant(), list) != 0) {
      return;  // gone again: its return brings another try
    }
    try {
      std::vector<directory::SatelliteRecord> satellites = directory::ReadListAnswer(*list);
      HideInternalService(satellites, false);
      for (const directory::SatelliteRecord& record : satellites) {
        DirectoryEvent event{std::chrono::system_clock::now(),
                             "present",
                             ToUtf8(record.name),
                             record.id,
                             record.host,
                             record.port,
                             {}};
        for (const auto& service : record.services) event.services.push_back(ToUtf8(service.name));
        printer_.Print(directory::ToJson(event));
      }
    } catch (const KivException&) {
      // An answer of the wrong shape: the events still follow.
    }
  }

  void Tell(const char* kind) {
    DirectoryEvent event{
        std::chrono::system_clock::now(), kind, "MainRegister", 1, directory_, port_, {}};
    printer_.Print(directory::ToJson(event));
  }

  EventPrinter& printer_;
  const std::string directory_;
  const std::uint16_t port_;
  std::atomic<bool> following_{false};
  std::atomic<bool> lost_{false};
};

int RunMonitor(Context& context, std::span<const std::string> args) {
  const MonitorOptions options = ParseOptions(args);
  const auto logger = KivSatellite::initLogger();
  // Before the engine's threads exist, so they inherit the blocked signals.
  StopSignals stopSignals;
  EventPrinter printer(context.out, options);
  MonitorSatellite satellite(printer, context.options);
  {
    CommandDeadline deadline(context, "monitor");
    deadline.Waiting("the directory at " + context.options.directoryHost + ":" +
                     std::to_string(context.options.directoryPort) + " to register the monitor");
    if (const auto failed = ConnectCommand(context, "monitor", satellite)) return *failed;
    if (const std::int32_t refused = satellite.Follow(true); refused != 0) {
      context.err << "kiv: monitor: the directory refused " << ToUtf8(directory::kAddEventListener)
                  << ": " << DescribeCode(refused) << '\n';
      return IsUnreachable(refused) ? kExitNoDirectory : kExitFailed;
    }
  }
  context.err << "kiv: monitor: following the directory at " << context.options.directoryHost << ':'
              << context.options.directoryPort << std::endl;
  const auto end =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(options.seconds);
  while (!printer.Done()) {
    auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
        options.count != 0 ? kCountCheck : std::chrono::hours(24));
    if (options.seconds > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      wait = std::min(wait, left);
    }
    if (stopSignals.WaitFor(wait) != 0) break;
  }
  // Told first, so that the directory sends it nothing while it leaves.
  satellite.Follow(false);
  satellite.Disconnect();
  const bool countMissed = options.count != 0 && !printer.Done() && options.seconds > 0 &&
                           std::chrono::steady_clock::now() >= end;
  return countMissed ? kExitTimedOut : kExitOk;
}

}  // namespace

Command MonitorCommand() {
  return {
      .name = "monitor",
      .synopsis = "[--service S] [--satellite NAME] [--json] [--count N] [--for SECONDS]",
      .summary = "follow the directory: one line per registration, withdrawal, removal, drop",
      .help =
          "Connects as a satellite, asks the directory for every change\n"
          "(AddDirectoryEventListener) and prints one line per change as it happens,\n"
          "until SIGINT or SIGTERM:\n"
          "\n"
          "  + registered    NAME  id N  HOST:PORT  SERVICES   new, or new services\n"
          "  = reregistered  NAME  id N  HOST:PORT  SERVICES   registered again\n"
          "  - withdrew      NAME  id N  HOST:PORT  SERVICES   services withdrawn\n"
          "  - removed       NAME  id N  HOST:PORT  SERVICES   it left\n"
          "  - dropped       NAME  id N  HOST:PORT  SERVICES  (missed pings)\n"
          "  ! directory went away  HOST:PORT\n"
          "  + directory came back  HOST:PORT\n"
          "  = present       NAME  id N  HOST:PORT  SERVICES   listed on its return\n"
          "\n"
          "When the directory comes back the monitor follows it again and prints\n"
          "one 'present' line per satellite it lists then, for the changes made\n"
          "while nobody followed.\n"
          "\n"
          "  --service S       only changes that name the service S (case ignored)\n"
          "  --satellite NAME  only changes of the satellite NAME\n"
          "  --json            one JSON object per line: {\"address\", \"id\", \"kind\",\n"
          "                    \"port\", \"satellite\", \"services\", \"time\"} (time in ISO 8601\n"
          "                    UTC; kind as above, or directory_lost, directory_back with\n"
          "                    the directory's address)\n"
          "  --count N         exit after N lines\n"
          "  --for SECONDS     exit after SECONDS\n"
          "\n"
          "The global --timeout bounds the registration only.\n"
          "Exit status: 0 after a signal, N lines or SECONDS; 1 the directory\n"
          "refused; 2 usage; 3 no directory answered; 4 timed out registering, or\n"
          "--for ran out before --count was reached.\n",
      .run = RunMonitor,
  };
}

}  // namespace kiv::cli

// kiv serve --name NAME [--service S ...]: a satellite offering the test
// services Echo, Sleep, Fail and Throw until SIGINT or SIGTERM.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <ostream>
#include <sstream>
#include <thread>

#include "kiv/kiv_exception.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/value.h"
#include "kiv/vutil.h"
#include "support/threads/cond.h"
#include "tools/kiv/cli.h"
#include "tools/kiv/command_satellite.h"
#include "tools/kiv/json_reader.h"
#include "tools/kiv/stop_signals.h"

namespace kiv::cli {
namespace {

// What Throw throws: the library's exception with the caller's code.
class ServiceFailure : public KivException {
 public:
  explicit ServiceFailure(std::int32_t code) : KivException(code, u"Throw was asked to fail") {}
};

// The integer a service takes: any integer type; anything else is refused
// with the library's invalid-parameter code (1).
std::int64_t IntegerArgument(const VARIANT& in) {
  switch (in.vt) {
    case VT_I1:
      return in.cVal;
    case VT_UI1:
      return in.bVal;
    case VT_I2:
      return in.iVal;
    case VT_UI2:
      return in.uiVal;
    case VT_I4:
      return in.lVal;
    case VT_UI4:
      return in.ulVal;
    case VT_INT:
      return in.intVal;
    case VT_UINT:
      return in.uintVal;
    case VT_I8:
      return in.llVal;
    case VT_UI8:
      if (in.ullVal <= static_cast<ULONGLONG>(std::numeric_limits<std::int64_t>::max())) {
        return static_cast<std::int64_t>(in.ullVal);
      }
      break;
    default:
      break;
  }
  throw KivInvalidParameterException(u"expects an integer");
}

std::int32_t CodeArgument(const VARIANT& in) {
  const std::int64_t code = IntegerArgument(in);
  if (code < std::numeric_limits<std::int32_t>::min() ||
      code > std::numeric_limits<std::int32_t>::max()) {
    throw KivInvalidParameterException(u"expects a 32-bit code");
  }
  return static_cast<std::int32_t>(code);
}

std::int32_t Echo(const char16_t*, const VARIANT& in, VARIANT* out) {
  *out = in;  // handed over: no copy of a large value
  return 0;
}

std::int32_t Sleep(const char16_t*, const VARIANT& in, VARIANT* out) {
  const std::int64_t ms = std::max<std::int64_t>(IntegerArgument(in), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  return VariantCopy(out, &in) == S_OK ? 0 : -1;
}

std::int32_t Fail(const char16_t*, const VARIANT& in, VARIANT*) {
  return CodeArgument(in);
}

std::int32_t Throw(const char16_t*, const VARIANT& in, VARIANT*) {
  throw ServiceFailure(CodeArgument(in));
}

struct TestService {
  std::string_view name;
  const char16_t* wideName;
  const char16_t* description;
  KivServiceFunction function;
};

constexpr TestService kServices[] = {
    {"Echo", u"Echo", u"answers its input", Echo},
    {"Sleep", u"Sleep", u"sleeps the input in milliseconds, then answers it", Sleep},
    {"Fail", u"Fail", u"answers with the input as its code", Fail},
    {"Throw", u"Throw", u"throws the library's exception with the input as its code", Throw},
};

const TestService* FindService(std::string_view name) {
  for (const TestService& service : kServices) {
    if (service.name == name) return &service;
  }
  return nullptr;
}

// Prints each availability notice as one JSON line; notices arrive on
// several engine threads at once.
class NoticePrinter {
 public:
  NoticePrinter(std::ostream& out, bool json) : out_(out), json_(json) {}

  void Print(const char16_t* service, const char16_t* satellite, std::int32_t state) {
    Json line;
    line["service"] = ToUtf8(service);
    line["satellite"] = ToUtf8(satellite);
    line["state"] = state;
    const std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
    PScopedLock hold(&lock_);
    out_ << text << std::endl;
  }
  void Ready(const std::string& name, std::uint32_t port) {
    const std::string text = json_ ? Json{{"event", "ready"}, {"name", name}, {"port", port}}.dump(
                                         -1, ' ', false, Json::error_handler_t::replace)
                                   : "ready " + name + " " + std::to_string(port);
    PScopedLock hold(&lock_);
    out_ << text << std::endl;
  }

 private:
  PMutex lock_;
  std::ostream& out_;
  const bool json_;
};

// Counts the calls being served, so that a stop can let them finish: the
// engine cuts the connections of calls still running when it stops.
class CallsInFlight {
 public:
  void Enter() {
    PScopedLock hold(&count_);
    ++count_.value;
  }
  void Leave() {
    PScopedLock hold(&count_);
    if (--count_.value == 0) count_.Broadcast();
  }
  void WaitForNone() {
    PScopedLock hold(&count_);
    while (count_.value != 0) count_.Wait();
  }

 private:
  PIntCondMutex count_;
};

// One test service, counted while it runs.
class TestHandler : public KivSatelliteDelegateGeneric {
 public:
  TestHandler(KivServiceFunction function, CallsInFlight& calls)
      : function_(function), calls_(calls) {}

  std::int32_t Invoke(const char16_t* source, const VARIANT& inParams,
                      VARIANT* outParams) override {
    calls_.Enter();
    struct Leave {
      CallsInFlight& calls;
      ~Leave() { calls.Leave(); }
    } leave{calls_};
    return function_(source, inParams, outParams);
  }

 private:
  KivServiceFunction function_;
  CallsInFlight& calls_;
};

// Remembers what its connection answered, so that a refusal can be told
// apart from the others.
class ServeSatellite : public CommandSatellite {
 public:
  using CommandSatellite::CommandSatellite;

  std::int32_t Connect(const char16_t* directory, const char16_t* name) override {
    connected_ = CommandSatellite::Connect(directory, name);
    return connected_;
  }
  std::int32_t connected() const { return connected_; }

 private:
  std::int32_t connected_ = 0;
};

// "host:port" of the satellite holding `name`, as the directory tells a
// satellite of another name; nullopt when it cannot tell.
std::optional<std::string> HolderAddress(const Context& context, const std::string& name) {
  const std::string directory =
      context.options.directoryHost + ":" + std::to_string(context.options.directoryPort);
  const std::string lookupName = "kiv-" + std::to_string(::getpid()) + "-lookup";
  CommandSatellite lookup;
  if (lookup.Connect(FromUtf8(directory).c_str(), FromUtf8(lookupName).c_str()) != 0) {
    return std::nullopt;
  }
  Variant answer;  // [[host, port]]
  if (lookup.AskDirectory(u"GetSatelliteHost", *Variant::String(FromUtf8(name)), answer) != 0) {
    return std::nullopt;
  }
  try {
    Variant pair;
    VUtil::GetElement(*answer, 0, pair.get());
    return ToUtf8(VUtil::GetStringElement(*pair, 0)) + ":" +
           std::to_string(VUtil::GetLongElement(*pair, 1));
  } catch (const KivException&) {
    return std::nullopt;
  }
}

struct ServeOptions {
  std::vector<const TestService*> services;
  std::vector<std::u16string> followed;
  bool json = false;
};

ServeOptions ParseOptions(Context& context, std::span<const std::string> args) {
  ServeOptions options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (option == "--json") {
      options.json = true;
      continue;
    }
    if (option != "--name" && option != "--service" && option != "--follow") {
      throw UsageError("unexpected argument '" + option + "'");
    }
    const std::string& value = NextValue(args, i);
    if (option == "--name") {
      context.options.name = value;
    } else if (option == "--follow") {
      options.followed.push_back(FromUtf8(value));
    } else if (const TestService* service = FindService(value)) {
      auto& chosen = options.services;
      if (std::find(chosen.begin(), chosen.end(), service) == chosen.end())
        chosen.push_back(service);
    } else {
      throw UsageError("unknown service '" + value + "' (Echo, Sleep, Fail, Throw)");
    }
  }
  if (options.services.empty()) {
    for (const TestService& service : kServices) options.services.push_back(&service);
  }
  return options;
}

int RunServe(Context& context, std::span<const std::string> args) {
  const ServeOptions options = ParseOptions(context, args);
  // A long-running satellite logs like any other (the WARN lines of
  // throwing handlers among them).
  const auto logger = KivSatellite::initLogger();
  // Before the engine's threads exist, so they inherit the blocked signals.
  StopSignals stopSignals;
  NoticePrinter printer(context.out, options.json);
  CallsInFlight calls;
  ServeSatellite satellite(
      [&](CommandSatellite& self) {
        for (const TestService* service : options.services) {
          self.AddService(service->wideName, service->description,
                          new TestHandler(service->function, calls));
        }
      },
      [&printer](const char16_t* service, const char16_t* satellite, std::int32_t state) {
        printer.Print(service, satellite, state);
      });
  // Followed before connecting: the connection subscribes them all.
  for (const std::u16string& name : options.followed) {
    satellite.AddServiceAvailabilityListener(name.c_str());
  }
  std::ostringstream refusal;  // replaced by a plainer message when the name is taken
  Context connecting{context.options, context.in, context.out, refusal};
  if (const auto failed = ConnectCommand(connecting, "serve", satellite)) {
    const std::optional<std::string> holder = satellite.connected() == KIV_RC_NAME_IN_USE
                                                  ? HolderAddress(context, context.options.name)
                                                  : std::nullopt;
    if (holder) {
      context.err << "kiv: serve: name " << context.options.name
                  << " is in use by a live satellite at " << *holder << '\n';
    } else {
      context.err << refusal.str();
    }
    return *failed;
  }
  printer.Ready(context.options.name, satellite.getSatellitePort());
  stopSignals.Wait();
  calls.WaitForNone();
  satellite.Disconnect();
  return kExitOk;
}

}  // namespace

Command ServeCommand() {
  return {
      .name = "serve",
      .synopsis = "--name NAME [--service S ...] [--follow S ...] [--json]",
      .summary = "run a satellite offering test services until SIGINT or SIGTERM",
      .help =
          "Connects as the satellite NAME and offers the test services named by\n"
          "--service (default all four) until SIGINT or SIGTERM, then disconnects\n"
          "cleanly, waiting for calls in progress. Prints 'ready NAME PORT' once\n"
          "connected. When the directory restarts, the satellite registers again.\n"
          "\n"
          "  Echo   answers its input, code 0\n"
          "  Sleep  sleeps the input in milliseconds, then answers it, code 0\n"
          "  Fail   answers with code = its input (an integer)\n"
          "  Throw  its handler throws the library's exception with code = its input\n"
          "A non-integer input to Sleep, Fail or Throw is answered with code 1.\n"
          "\n"
          "  --follow S  follow the availability of service S (repeatable): each\n"
          "              notice from the directory prints one JSON line\n"
          "              {\"service\": S, \"satellite\": NAME, \"state\": 1 | 0}\n"
          "              (1: the satellite offers it now, 0: it is gone)\n"
          "  --json      print the ready line as {\"event\": \"ready\", \"name\", \"port\"}\n"
          "\n"
          "Exit status: 0 after a clean stop; 1 the directory refused (also when\n"
          "a live satellite holds NAME); 2 usage;\n"
          "3 no directory answered.\n",
      .run = RunServe,
  };
}

}  // namespace kiv::cli

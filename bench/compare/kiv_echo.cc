#include "bench/compare/kiv_echo.h"

#include <chrono>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bench/compare/echo_payload.h"
#include "bench/echo_peers.h"
#include "directory/directory_service.h"
#include "kiv/engine.h"
#include "kiv/kiv_exception.h"
#include "kiv/satellite.h"
#include "kiv/value.h"
#include "kiv/vutil.h"

namespace kiv::compare {

namespace {

constexpr char16_t kEchoEngineName[] = u"compare-echo-engine";
constexpr char16_t kEchoSatelliteName[] = u"compare-echo";
constexpr char16_t kEchoService[] = u"Echo";
constexpr char kLoopback[] = "127.0.0.1";

std::u16string NumberedName(std::u16string_view prefix, int number) {
  std::u16string name(prefix);
  for (const char digit : std::to_string(number)) name += static_cast<char16_t>(digit);
  return name;
}

// The directory both transports register with; Start is idempotent.
class SharedDirectory {
 public:
  bool Start(std::string* error) {
    if (service_) return true;
    kiv::directory::DirectoryConfig options;
    options.serverId = "compare-directory";
    // Every satellite here answers pings; a long interval keeps the pings
    // out of the timed calls.
    options.pingInterval = std::chrono::minutes(10);
    auto service = std::make_unique<kiv::directory::DirectoryService>(options);
    if (service->Start(error) != 0) return false;
    service_ = std::move(service);
    return true;
  }

 private:
  std::unique_ptr<kiv::directory::DirectoryService> service_;
};

// A one-dimensional VT_ARRAY | VT_UI1 of `bytes` pattern bytes.
kiv::Variant PatternArray(std::size_t bytes) {
  kiv::SafeArrayPtr array(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes)));
  if (!array) throw std::bad_alloc();
  {
    const kiv::SafeArrayAccess access(array.get());
    if (!access.ok()) throw std::bad_alloc();
    FillPattern(std::span(access.as<std::uint8_t>(), bytes));
  }
  return kiv::Variant::Adopt(array.release(), VT_UI1);
}

void StampArray(const VARIANT& argument, std::uint64_t sequence) {
  const kiv::SafeArrayAccess access(argument.parray);
  if (access.ok()) {
    Stamp(std::span(access.as<std::uint8_t>(), argument.parray->rgsabound[0].cElements), sequence);
  }
}

const char* CheckArrayEcho(const VARIANT& echo, std::size_t bytes, std::uint64_t sequence) {
  if (echo.vt != (VT_ARRAY | VT_UI1) || echo.parray == nullptr ||
      SafeArrayGetDim(echo.parray) != 1) {
    return "wrong echo: not a byte array";
  }
  const kiv::SafeArrayAccess access(echo.parray);
  if (!access.ok()) return "wrong echo: not a byte array";
  return CheckEcho(std::span(access.as<const std::uint8_t>(), echo.parray->rgsabound[0].cElements),
                   bytes, sequence);
}

// The element of a one-element array reply, or null when it has another shape.
template <typename T>
const T* OnlyElement(const VARIANT& reply, VARTYPE type) {
  if (reply.vt != (VT_ARRAY | type) || reply.parray == nullptr ||
      SafeArrayGetDim(reply.parray) != 1 || reply.parray->rgsabound[0].cElements != 1) {
    return nullptr;
  }
  return static_cast<const T*>(reply.parray->pvData);
}

// What both Kiv transports share: a server of type Server, and one client
// record per thread, each with its own caller and payload.
template <class Caller, class Server>
class KivTransport : public EchoTransport {
 public:
  explicit KivTransport(std::shared_ptr<SharedDirectory> directory)
      : directory_(std::move(directory)) {}

  void Stop() override {
    clients_.clear();
    server_.reset();
  }

  void Prepare(int client, std::size_t bytes) override {
    Client& mine = clients_[static_cast<std::size_t>(client)];
    mine.argument = PatternArray(bytes);
    mine.bytes = bytes;
  }

 protected:
  struct Client {
    Caller caller;
    kiv::Variant argument;
    std::size_t bytes = 0;
  };

  std::shared_ptr<SharedDirectory> directory_;
  Server server_;
  std::vector<Client> clients_;
};

class KivCallTransport : public KivTransport<kiv::bench::EngineHandle, kiv::bench::EngineHandle> {
 public:
  using KivTransport::KivTransport;
  ~KivCallTransport() override { Stop(); }

  bool Start(std::string* error) override {
    if (!directory_->Start(error)) return false;
    server_ = kiv::bench::StartEngine(kEchoEngineName, &kiv::bench::EchoHandler, kEchoService);
    if (!server_) {
      *error = "the echo engine did not start";
      return false;
    }
    clients_.resize(kMaxClients);
    for (int c = 0; c < kMaxClients; ++c) {
      clients_[static_cast<std::size_t>(c)].caller =
          kiv::bench::StartEngine(NumberedName(u"compare-caller-", c), nullptr);
      if (!clients_[static_cast<std::size_t>(c)].caller) {
        *error = "a caller engine did not start";
        return false;
      }
    }
    port_ = EchoEnginePort(clients_[0].caller.get());
    if (port_ == 0) *error = "the directory does not list the echo engine";
    return port_ != 0;
  }

  const char* Call(int client, std::uint64_t sequence) override {
    Client& mine = clients_[static_cast<std::size_t>(client)];
    StampArray(*mine.argument, sequence);
    kiv::Variant value;
    std::int32_t returnCode = -1;
    const std::int32_t result = KivCall(mine.caller.get(), kLoopback, port_, "Echo",
                                        mine.argument.get(), value.get(), &returnCode);
    if (result != 0 || returnCode != 0) return "KivCall failed";
    return CheckArrayEcho(*value, mine.bytes, sequence);
  }

  // The directory lookup a request makes first, with the client's engine.
  const char* Lookup(int client) const {
    const KIV* asking = clients_[static_cast<std::size_t>(client)].caller.get();
    return EchoEnginePort(const_cast<KIV*>(asking)) == port_ ? nullptr : "wrong lookup answer";
  }

 private:
  // Where the echo engine listens, as the directory tells; 0 when unknown.
  static std::uint16_t EchoEnginePort(KIV* asking) {
    const kiv::Bstr destination(kEchoEngineName);
    const kiv::Bstr service(kEchoService);
    kiv::Variant entries;
    if (KivGetServiceReg(asking, destination.get(), service.get(), 0, entries.get()) != 0) return 0;
    try {
      kiv::Variant entry;
      VUtil::GetElement(*entries, 0, entry.get());
      return static_cast<std::uint16_t>(VUtil::GetLongElement(*entry, 4));
    } catch (const KivException&) {
      return 0;
    }
  }

  std::uint16_t port_ = 0;
};

class EchoSatellite : public KivSatellite {
 public:
  ~EchoSatellite() override { Disconnect(); }

 protected:
  void InitServices() override { AddService(kEchoService, u"answers its input", &Echo); }

 private:
  static std::int32_t Echo(const char16_t*, const VARIANT& in, VARIANT* out) {
    *out = in;  // handed over, as ZeroMQ's echo sends the message it received
    return 0;
  }
};

class RequesterSatellite : public KivSatellite {
 public:
  ~RequesterSatellite() override { Disconnect(); }

 protected:
  void InitServices() override {}
};

class KivRequestTransport
    : public KivTransport<std::unique_ptr<RequesterSatellite>, std::unique_ptr<EchoSatellite>> {
 public:
  using KivTransport::KivTransport;
  ~KivRequestTransport() override { Stop(); }

  bool Start(std::string* error) override {
    if (!directory_->Start(error)) return false;
    server_ = std::make_unique<EchoSatellite>();
    if (server_->Connect(u"127.0.0.1", kEchoSatelliteName) != 0) {
      *error = "the echo satellite did not connect";
      return false;
    }
    clients_.resize(kMaxClients);
    for (int c = 0; c < kMaxClients; ++c) {
      Client& mine = clients_[static_cast<std::size_t>(c)];
      mine.caller = std::make_unique<RequesterSatellite>();
      if (mine.caller->Connect(u"127.0.0.1", NumberedName(u"compare-requester-", c).c_str()) != 0) {
        *error = "a requesting satellite did not connect";
        return false;
      }
    }
    return true;
  }

  const char* Call(int client, std::uint64_t sequence) override {
    Client& mine = clients_[static_cast<std::size_t>(client)];
    StampArray(*mine.argument, sequence);
    kiv::Variant values;
    kiv::Variant statuses;
    if (mine.caller->Request(kEchoSatelliteName, kEchoService, *mine.argument, *values, KIV_NOFLAGS,
                             *statuses) != 0) {
      return "Request failed";
    }
    const LONG* status = OnlyElement<LONG>(*statuses, VT_I4);
    if (status == nullptr || *status != 0) return "Request failed: status";
    const VARIANT* value = OnlyElement<VARIANT>(*values, VT_VARIANT);
    if (value == nullptr) return "wrong echo: not one value";
    return CheckArrayEcho(*value, mine.bytes, sequence);
  }
};

// "GetServiceReg" alone, through the call transport's engines (which it
// needs started first).
class KivLookupTransport : public EchoTransport {
 public:
  explicit KivLookupTransport(const KivCallTransport* call) : call_(call) {}
  bool Start(std::string*) override { return true; }
  void Stop() override {}
  void Prepare(int, std::size_t) override {}
  const char* Call(int client, std::uint64_t) override { return call_->Lookup(client); }

 private:
  const KivCallTransport* call_;
};

}  // namespace

KivTransports MakeKivTransports() {
  auto directory = std::make_shared<SharedDirectory>();
  auto call = std::make_unique<KivCallTransport>(directory);
  auto lookup = std::make_unique<KivLookupTransport>(call.get());
  return {std::move(call), std::make_unique<KivRequestTransport>(directory), std::move(lookup)};
}

}  // namespace kiv::compare

// Cost of the engine's exchanges between real engines on loopback: a KivCall
// echo of a small value with one caller thread and with eight, a 1 MiB byte
// array echo, and a KivRequest to one satellite (directory lookup included).
// Every call's latency is recorded, and each benchmark reports the median
// and 99th percentile per call (microseconds), calls per second and process
// CPU time per call.
//
// The process runs in a private network namespace of its own, so its
// directory on port 29831 meets no other; run it as
//   build/bin/engine_bench            (unpinned)
//   taskset -c 0 build/bin/engine_bench   (every thread on one core)
#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "bench/call_load.h"
#include "bench/echo_peers.h"
#include "bench/private_network_bench.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/value.h"
#include "kiv/vutil.h"

namespace {

using kiv::bench::EchoHandler;
using kiv::bench::RunClientCalls;

// --- A minimal directory: registers satellites and lists them by name. ----

struct Directory {
  std::mutex lock;
  std::map<std::u16string, std::uint16_t> ports;  // satellite name -> listening port
  std::int32_t nextId = 1;
};

Directory& TheDirectory() {
  static Directory directory;
  return directory;
}

// The registration entry of Echo on the named satellite.
void PutEntry(VARIANT& entries, LONG index, std::uint16_t port) {
  kiv::Variant entry;
  VUtil::CreateArray(*entry, VT_VARIANT, 7);
  VUtil::PutElement(*entry, 0, u"Echo");
  VUtil::PutElement(*entry, 1, u"");
  VUtil::PutElement(*entry, 2, u"");
  VUtil::PutElement(*entry, 3, u"127.0.0.1");
  VUtil::PutElement(*entry, 4, static_cast<int>(port));
  VUtil::PutElement(*entry, 5, u"");
  VUtil::PutElement(*entry, 6, 0);
  VUtil::PutElement(entries, index, static_cast<void*>(entry.get()));
}

std::int32_t DirectoryHandler(KIV*, void*, int, BSTR, BSTR service, VARIANT argument,
                              VARIANT* value, std::int32_t* returnCode) {
  Directory& directory = TheDirectory();
  const std::u16string_view request(service, SysStringLen(service));
  *returnCode = 0;
  if (request == u"Register") {
    const std::u16string name = VUtil::GetStringElement(argument, 0);
    std::lock_guard<std::mutex> guard(directory.lock);
    kiv::Variant element;
    VUtil::GetElement(argument, 2, element.get());
    directory.ports[name] = element->uiVal;
    *value = kiv::Variant::I4(directory.nextId++).Detach();
  } else if (request == u"GetServiceReg") {
    const std::u16string destination = VUtil::GetStringElement(argument, 0);
    std::lock_guard<std::mutex> guard(directory.lock);
    const auto found = directory.ports.find(destination);
    if (found == directory.ports.end()) {
      *returnCode = kiv::KIV_RC_NOT_FOUND;
    } else {
      VUtil::CreateArray(*value, VT_VARIANT, 1);
      PutEntry(*value, 0, found->second);
    }
  }
  return 0;
}

// --- The engines: a directory, the echo server and the caller. -----------

struct Cluster {
  kiv::bench::EngineHandle directory;
  kiv::bench::EngineHandle server;
  kiv::bench::EngineHandle client;
  std::uint16_t serverPort = 0;
};

Cluster cluster;

bool StartCluster() {
  cluster.directory = kiv::bench::StartEngine(u"MainRegister", &DirectoryHandler);
  if (cluster.directory) cluster.server = kiv::bench::StartEngine(u"bench-server", &EchoHandler);
  if (cluster.server) cluster.client = kiv::bench::StartEngine(u"bench-client", nullptr);
  if (!cluster.client) return false;
  std::lock_guard<std::mutex> guard(TheDirectory().lock);
  cluster.serverPort = TheDirectory().ports[u"bench-server"];
  return cluster.serverPort != 0;
}

void StopCluster() {
  cluster.client.reset();
  cluster.server.reset();
  cluster.directory.reset();
}

// --- Calls. ---------------------------------------------------------------

constexpr int kWarmUpCalls = 20;

// Every caller thread shares the one client engine and its idle cache.
const char* CallEcho(VARIANT* argument, std::size_t expectedBytes) {
  kiv::Variant value;
  std::int32_t returnCode = -1;
  const std::int32_t result = KivCall(cluster.client.get(), "127.0.0.1", cluster.serverPort, "Echo",
                                      argument, value.get(), &returnCode);
  if (result != 0 || returnCode != 0) return "call failed";
  if (value.vt() != argument->vt) return "wrong echo type";
  if (expectedBytes == 0) return nullptr;
  return value->parray != nullptr && value->parray->rgsabound[0].cElements == expectedBytes
             ? nullptr
             : "wrong echo size";
}

void BM_CallEchoSmall(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  kiv::Variant argument = kiv::Variant::String(u"ping-pong");
  RunClientCalls(state, threads, threads == 1 ? 20000 : 2500, kWarmUpCalls,
                 [&](int, std::uint64_t) { return CallEcho(argument.get(), 0); });
}

void BM_CallEchoMiB(benchmark::State& state) {
  constexpr std::size_t kBytes = 1 << 20;
  kiv::Variant argument;
  std::vector<std::uint8_t> bytes(kBytes);
  for (std::size_t i = 0; i < kBytes; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  VUtil::PutBinaryIntoVariant(*argument, bytes.data(), static_cast<int>(kBytes));
  RunClientCalls(state, 1, 300, kWarmUpCalls,
                 [&](int, std::uint64_t) { return CallEcho(argument.get(), kBytes); });
}

void BM_RequestOneSatellite(benchmark::State& state) {
  const kiv::Bstr destination(u"bench-server");
  const kiv::Bstr service(u"Echo");
  kiv::Variant argument = kiv::Variant::I4(42);
  RunClientCalls(state, 1, 5000, kWarmUpCalls, [&](int, std::uint64_t) -> const char* {
    kiv::Variant values;
    kiv::Variant statuses;
    KivRequest(cluster.client.get(), destination.get(), service.get(), *argument, values.get(),
               KIV_NOFLAGS, statuses.get());
    const bool ok = statuses.vt() == (VT_ARRAY | VT_I4) &&
                    VUtil::GetLongElement(*statuses, 0) == 0 &&
                    values.vt() == (VT_ARRAY | VT_VARIANT);
    return ok ? nullptr : "request failed";
  });
}

BENCHMARK(BM_CallEchoSmall)
    ->Arg(1)
    ->Arg(8)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CallEchoMiB)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RequestOneSatellite)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  return kiv::bench::RunInPrivateNetwork(argc, argv, StartCluster, StopCluster,
                                         "could not start the engines");
}

// Cost of the engine's exchanges between real engines on loopback: a KivCall
// echo of a small value with one caller thread and with eight, a 1 MiB byte
// array echo, and a KivRequest to one satellite (directory lookup included).
// Every call's latency is recorded, and each benchmark reports the median
// and 99th percentile per call (microseconds) and calls per second.
//
// The process runs in a private network namespace of its own, so its
// directory on port 29831 meets no other; run it as
//   build/bin/engine_bench            (unpinned)
//   taskset -c 0 build/bin/engine_bench   (every thread on one core)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/latency_stats.h"
#include "bench/private_network_bench.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/value.h"
#include "kiv/vutil.h"

namespace {

using Clock = kiv::bench::LatencyClock;

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

std::int32_t EchoHandler(KIV*, void*, int, BSTR, BSTR, VARIANT argument, VARIANT* value,
                         std::int32_t* returnCode) {
  *returnCode = 0;
  return VariantCopy(value, &argument) == S_OK ? 0 : kiv::KIV_E_TRANSPORT;
}

// --- The engines: a directory, the echo server and the caller. -----------

struct Cluster {
  KIV* directory = nullptr;
  KIV* server = nullptr;
  KIV* client = nullptr;
  std::uint16_t serverPort = 0;
};

Cluster cluster;

KIV* StartEngine(const char16_t* name, KivRequestCallback handler) {
  KIV* engine = nullptr;
  if (KivCreate(&engine, handler, nullptr, nullptr) != 0) return nullptr;
  kiv::Variant services;
  kiv::Variant returnCode;
  const kiv::Bstr satelliteName{std::u16string_view(name)};
  KivRegister(engine, "127.0.0.1", 0, satelliteName.get(), services.get(), returnCode.get());
  if (returnCode.vt() != VT_I4 || returnCode->lVal != 0) {
    std::fprintf(stderr, "registering %s failed\n",
                 std::string(name, name + std::char_traits<char16_t>::length(name)).c_str());
    return nullptr;
  }
  return engine;
}

bool StartCluster() {
  cluster.directory = StartEngine(u"MainRegister", &DirectoryHandler);
  cluster.server = cluster.directory ? StartEngine(u"bench-server", &EchoHandler) : nullptr;
  cluster.client = cluster.server ? StartEngine(u"bench-client", nullptr) : nullptr;
  if (cluster.client == nullptr) return false;
  std::lock_guard<std::mutex> guard(TheDirectory().lock);
  cluster.serverPort = TheDirectory().ports[u"bench-server"];
  return cluster.serverPort != 0;
}

void StopCluster() {
  for (KIV* engine : {cluster.client, cluster.server, cluster.directory}) {
    if (engine == nullptr) continue;
    KivRemoveSatellite(engine);
    KivDestroy(engine);
  }
}

// --- Load and figures. ---------------------------------------------------

// Runs `call` callsPerThread times on each of `threads` threads after a
// short warm-up; reports per-call latencies and the figures.
void RunLoad(benchmark::State& state, int threads, int callsPerThread,
             const std::function<bool()>& call) {
  for (int i = 0; i < 20; ++i) {
    if (!call()) {
      state.SkipWithError("call failed during warm-up");
      return;
    }
  }
  std::vector<std::vector<double>> latencies(static_cast<std::size_t>(threads));
  std::vector<char> failed(static_cast<std::size_t>(threads), 0);
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        std::vector<double>& mine = latencies[static_cast<std::size_t>(t)];
        mine.reserve(static_cast<std::size_t>(callsPerThread));
        for (int i = 0; i < callsPerThread; ++i) {
          const Clock::time_point before = Clock::now();
          if (!call()) {
            failed[static_cast<std::size_t>(t)] = 1;
            return;
          }
          mine.push_back(kiv::bench::MicrosSince(before));
        }
      });
    }
    for (std::thread& worker : workers) worker.join();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  if (std::find(failed.begin(), failed.end(), 1) != failed.end()) {
    state.SkipWithError("a call failed");
    return;
  }
  std::vector<double> all;
  for (const std::vector<double>& mine : latencies) all.insert(all.end(), mine.begin(), mine.end());
  kiv::bench::ReportCallFigures(state, all);
}

bool CallEcho(VARIANT* argument, std::size_t expectedBytes) {
  kiv::Variant value;
  std::int32_t returnCode = -1;
  const std::int32_t result = KivCall(cluster.client, "127.0.0.1", cluster.serverPort, "Echo",
                                      argument, value.get(), &returnCode);
  if (result != 0 || returnCode != 0 || value.vt() != argument->vt) return false;
  if (expectedBytes == 0) return true;
  return value->parray != nullptr && value->parray->rgsabound[0].cElements == expectedBytes;
}

void BM_CallEchoSmall(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  kiv::Variant argument = kiv::Variant::String(u"ping-pong");
  RunLoad(state, threads, threads == 1 ? 20000 : 2500, [&] { return CallEcho(argument.get(), 0); });
}

void BM_CallEchoMiB(benchmark::State& state) {
  constexpr std::size_t kBytes = 1 << 20;
  kiv::Variant argument;
  std::vector<std::uint8_t> bytes(kBytes);
  for (std::size_t i = 0; i < kBytes; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  VUtil::PutBinaryIntoVariant(*argument, bytes.data(), static_cast<int>(kBytes));
  RunLoad(state, 1, 300, [&] { return CallEcho(argument.get(), kBytes); });
}

void BM_RequestOneSatellite(benchmark::State& state) {
  const kiv::Bstr destination(u"bench-server");
  const kiv::Bstr service(u"Echo");
  kiv::Variant argument = kiv::Variant::I4(42);
  RunLoad(state, 1, 5000, [&] {
    kiv::Variant values;
    kiv::Variant statuses;
    KivRequest(cluster.client, destination.get(), service.get(), *argument, values.get(),
               KIV_NOFLAGS, statuses.get());
    return statuses.vt() == (VT_ARRAY | VT_I4) && VUtil::GetLongElement(*statuses, 0) == 0 &&
           values.vt() == (VT_ARRAY | VT_VARIANT);
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

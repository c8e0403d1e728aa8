// One echo workload over several transports, in one run on one machine:
// tcp_floor (a bare TCP echo), kiv_call (KivCall between engines),
// kiv_request (KivSatellite::Request through a real directory, lookup
// included), and grpc and zeromq when they were found at configure time.
// Payloads of 16 B, 1 KiB, 64 KiB and 1 MiB, with one client and with
// eight (each on its own connection); every echo is checked. Per benchmark:
// median_us, p99_us, calls_per_s and cpu_us_per_call (process CPU time over
// the timed calls: servers and clients share this process).
//
// The process enters a private network namespace of its own first, so the
// directory on port 29831 meets no other. scripts/compare builds it, runs
// it pinned to one CPU and unpinned, and prints bench/compare/report.py's
// tables; by hand:  taskset -c 0 build/bin/compare_bench
#include <benchmark/benchmark.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/call_load.h"
#include "bench/compare/design_costs.h"
#include "bench/compare/echo_transport.h"
#include "bench/compare/kiv_echo.h"
#include "bench/compare/tcp_echo.h"
#include "bench/private_network_bench.h"
#ifdef KIV_COMPARE_WITH_GRPC
#include "bench/compare/grpc_echo.h"
#endif
#ifdef KIV_COMPARE_WITH_ZMQ
#include "bench/compare/zmq_echo.h"
#endif

namespace {

using kiv::compare::EchoTransport;

constexpr std::int64_t kPayloads[] = {16, 1024, 64 * 1024, 1024 * 1024};
constexpr std::int64_t kClientCounts[] = {1, 8};
// A batch (one benchmark iteration, and the warm-up) is kLargestBatch calls
// per client, fewer for large payloads: about kBatchBytes per client.
constexpr std::size_t kBatchBytes = 4u << 20;
constexpr int kLargestBatch = 128;

struct NamedTransport {
  const char* name;
  std::unique_ptr<EchoTransport> transport;
};

// In start order; stopped in reverse.
std::vector<NamedTransport> transports;
// What the engine's design adds per call, timed once (16 B, one client).
std::vector<NamedTransport> designCosts;

int BatchFor(std::size_t bytes) {
  return static_cast<int>(std::clamp<std::size_t>(kBatchBytes / bytes, 2, kLargestBatch));
}

void RunEcho(benchmark::State& state, EchoTransport* transport) {
  const auto bytes = static_cast<std::size_t>(state.range(0));
  const int clients = static_cast<int>(state.range(1));
  for (int c = 0; c < clients; ++c) transport->Prepare(c, bytes);
  const int batch = BatchFor(bytes);
  kiv::bench::RunClientCalls(state, clients, batch, batch,
                             [transport](int client, std::uint64_t sequence) {
                               return transport->Call(client, sequence);
                             });
}

bool StartTransports() {
  for (NamedTransport& named : designCosts) transports.push_back(std::move(named));
  designCosts.clear();
  for (NamedTransport& named : transports) {
    std::string error;
    if (!named.transport->Start(&error)) {
      std::fprintf(stderr, "%s: %s\n", named.name, error.c_str());
      return false;
    }
  }
  return true;
}

void StopTransports() {
  for (auto named = transports.rbegin(); named != transports.rend(); ++named) {
    named->transport->Stop();
  }
  while (!transports.empty()) transports.pop_back();
}

// The CPUs this process may run on, as a list such as "0" or "0-1".
std::string AllowedCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) != 0) return "unknown";
  std::string list;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &set)) continue;
    int last = cpu;
    while (last + 1 < CPU_SETSIZE && CPU_ISSET(last + 1, &set)) ++last;
    if (!list.empty()) list += ',';
    list += std::to_string(cpu);
    if (last > cpu) list += '-' + std::to_string(last);
    cpu = last;
  }
  return list;
}

void Register(const NamedTransport& named, std::int64_t bytes, std::int64_t clients) {
  benchmark::RegisterBenchmark(named.name, RunEcho, named.transport.get())
      ->Args({bytes, clients})
      ->ArgNames({"bytes", "clients"})
      ->UseManualTime()
      ->Unit(benchmark::kMicrosecond);
}

void RegisterBenchmarks() {
  for (const NamedTransport& named : designCosts) Register(named, kPayloads[0], 1);
  for (const std::int64_t bytes : kPayloads) {
    for (const std::int64_t clients : kClientCounts) {
      // Transports interleave, so drifting background load meets them all.
      for (const NamedTransport& named : transports) Register(named, bytes, clients);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  transports.push_back({"tcp_floor", kiv::compare::MakeTcpFloor()});
  kiv::compare::KivTransports engines = kiv::compare::MakeKivTransports();
  transports.push_back({"kiv_call", std::move(engines.call)});
  transports.push_back({"kiv_request", std::move(engines.request)});
  designCosts.push_back({"thread_start", kiv::compare::MakeThreadStartCost()});
  designCosts.push_back({"kiv_lookup", std::move(engines.lookup)});
#ifdef KIV_COMPARE_WITH_GRPC
  transports.push_back({"grpc", kiv::compare::MakeGrpcEcho()});
#else
  std::fprintf(stderr,
               "compare_bench: gRPC was not built (not found or turned off at configure time)\n");
#endif
#ifdef KIV_COMPARE_WITH_ZMQ
  transports.push_back({"zeromq", kiv::compare::MakeZmqEcho()});
#else
  std::fprintf(stderr,
               "compare_bench: ZeroMQ was not built (not found or turned off at configure time)\n");
#endif
  RegisterBenchmarks();
  benchmark::AddCustomContext("cpu_affinity", AllowedCpus());
  benchmark::AddCustomContext("cpus_online", std::to_string(::sysconf(_SC_NPROCESSORS_ONLN)));
  benchmark::AddCustomContext("kiv_build_type", KIV_COMPARE_BUILD_TYPE);
  return kiv::bench::RunInPrivateNetwork(argc, argv, StartTransports, StopTransports,
                                         "could not start the transports");
}

// What the directory costs: registrations per second and "GetServiceReg"
// latency with 1,000 registered satellites of 10 services each, first on
// the directory's table alone (with the answer value built), then against a
// real directory (kivd's DirectoryService) over loopback; and
// KivSatellite::Request to one satellite and to ALL of four, lookup
// included. Every satellite offers nine services of its own and "Common",
// so "ALL Common" answers 1,000 entries.
//
// Loopback figures are per call on the caller's clock (real time), with the
// median and 99th percentile of the single calls.
//
// The process runs in a private network namespace of its own, so its
// directory on port 29831 meets no other:  build/bin/kivd_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/latency_stats.h"
#include "bench/private_network_bench.h"
#include "directory/directory_service.h"
#include "directory/directory_table.h"
#include "directory/directory_values.h"
#include "kiv/engine.h"
#include "kiv/satellite.h"
#include "kiv/value.h"
#include "kiv/vutil.h"

namespace {

using Clock = kiv::bench::LatencyClock;
using kiv::bench::MicrosSince;
using kiv::bench::ReportLatencies;
using kiv::directory::DirectoryTable;
using kiv::directory::Registration;

constexpr int kSatellites = 1000;
constexpr int kServicesEach = 10;
constexpr int kEchoSatellites = 4;

std::u16string Name(const char16_t* prefix, int i) {
  std::u16string name = prefix;
  for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
  return name;
}

std::vector<kiv::directory::ServiceOffer> Offers(int satellite) {
  std::vector<kiv::directory::ServiceOffer> offers;
  for (int k = 0; k + 1 < kServicesEach; ++k) {
    offers.push_back({Name(u"Svc", satellite) + u"-" + Name(u"", k), u"a service"});
  }
  offers.push_back({u"Common", u"offered by every satellite"});
  return offers;
}

Registration RegistrationOf(const char16_t* prefix, int i) {
  return {Name(prefix, i), u"bench-pc", "127.0.0.1", static_cast<std::uint16_t>(20000 + i), 0,
          Offers(i)};
}

// --- The table alone -------------------------------------------------------

void BM_TableRegister(benchmark::State& state) {
  std::vector<Registration> registrations;
  for (int i = 0; i < kSatellites; ++i) registrations.push_back(RegistrationOf(u"sat", i));
  for (auto _ : state) {
    auto table = std::make_unique<DirectoryTable>();
    for (const Registration& registration : registrations) {
      benchmark::DoNotOptimize(table->Register(registration));
    }
    state.PauseTiming();  // the table's destruction is not a registration
    table.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kSatellites);
}

DirectoryTable& FullTable() {
  static DirectoryTable table;
  static const bool filled = [] {
    for (int i = 0; i < kSatellites; ++i) table.Register(RegistrationOf(u"sat", i));
    return true;
  }();
  benchmark::DoNotOptimize(filled);
  return table;
}

// The handler's work: look up, then build the answer value.
void TableLookup(benchmark::State& state, const std::u16string& destination,
                 const std::u16string& service, std::size_t expected) {
  DirectoryTable& table = FullTable();
  for (auto _ : state) {
    const auto entries = table.Offers(destination, service);
    if (entries.size() != expected) {
      state.SkipWithError("wrong number of entries");
      return;
    }
    kiv::Variant answer = kiv::directory::EntriesAnswer(entries);
    benchmark::DoNotOptimize(answer.get());
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TableGetServiceRegNamed(benchmark::State& state) {
  TableLookup(state, u"sat500", u"Svc500-3", 1);
}
void BM_TableGetServiceRegAllOne(benchmark::State& state) {
  TableLookup(state, u"ALL", u"svc500-3", 1);
}
void BM_TableGetServiceRegAllThousand(benchmark::State& state) {
  TableLookup(state, u"ALL", u"Common", kSatellites);
}

// --- A real directory over loopback -------------------------------------

class EchoSatellite : public KivSatellite {
 public:
  ~EchoSatellite() override { Disconnect(); }

 protected:
  void InitServices() override { AddService(u"Echo", u"answers its input", &Echo); }

 private:
  static std::int32_t Echo(const char16_t*, const VARIANT& in, VARIANT* out) {
    *out = in;  // handed over
    return 0;
  }
};

class ClientSatellite : public KivSatellite {
 public:
  ~ClientSatellite() override { Disconnect(); }

 protected:
  void InitServices() override {}
};

struct Cluster {
  std::unique_ptr<kiv::directory::DirectoryService> directory;
  std::vector<std::unique_ptr<EchoSatellite>> echoes;
  std::unique_ptr<ClientSatellite> client;
  KIV* engine = nullptr;  // a bare engine for the directory's own requests
};

Cluster cluster;

// "Register" as a satellite sends it: the 7-element record.
kiv::Variant RecordOf(const Registration& registration, std::int32_t id) {
  kiv::Variant services;
  KivCreateServices(services.get(), static_cast<std::int32_t>(registration.services.size()));
  for (std::size_t k = 0; k < registration.services.size(); ++k) {
    const kiv::Bstr name(registration.services[k].name);
    const kiv::Bstr description(registration.services[k].description);
    KivSetService(services.get(), static_cast<std::int32_t>(k), name.get(), description.get());
  }
  kiv::Variant record;
  VUtil::CreateArray(*record, VT_VARIANT, 7);
  VUtil::PutElement(*record, 0, registration.name);
  VUtil::PutElement(*record, 1, registration.computer);
  VUtil::PutElement(*record, 2, static_cast<unsigned short>(registration.port));
  VUtil::PutElement(*record, 3, 1);
  VUtil::PutElement(*record, 4, static_cast<int>(id));
  VUtil::PutElement(*record, 5, static_cast<int>(registration.services.size()));
  VUtil::PutElement(*record, 6, static_cast<void*>(services.get()));
  return record;
}

// One directory request; the return code, or the exchange's failure.
std::int32_t Ask(const char* request, kiv::Variant& argument, kiv::Variant* answer = nullptr) {
  kiv::Variant value;
  std::int32_t code = -1;
  const std::int32_t result = KivCall(cluster.engine, "127.0.0.1", KIV_DIRECTORY_PORT, request,
                                      argument.get(), value.get(), &code);
  if (answer != nullptr) *answer = std::move(value);
  return result != 0 ? result : code;
}

bool StartCluster() {
  kiv::directory::DirectoryConfig options;
  options.serverId = "bench-directory";
  // The registered satellites are made up: no one answers their pings, and
  // the run ends before three rounds could drop them.
  options.pingInterval = std::chrono::seconds(40);
  cluster.directory = std::make_unique<kiv::directory::DirectoryService>(options);
  std::string error;
  if (cluster.directory->Start(&error) != 0) {
    std::fprintf(stderr, "directory: %s\n", error.c_str());
    return false;
  }
  // Registered, so that its lookups know where the directory is.
  if (KivCreate(&cluster.engine, nullptr, nullptr, nullptr) != 0) return false;
  const kiv::Bstr engineName(u"bench-engine");
  kiv::Variant noServices;
  kiv::Variant registered;
  KivRegister(cluster.engine, "127.0.0.1", KIV_DIRECTORY_PORT, engineName.get(), noServices.get(),
              registered.get());
  if (registered.vt() != VT_I4 || registered->lVal != 0) return false;
  for (int i = 0; i < kSatellites; ++i) {
    kiv::Variant record = RecordOf(RegistrationOf(u"sat", i), 0);
    if (Ask("Register", record) != 0) return false;
  }
  for (int i = 0; i < kEchoSatellites; ++i) {
    cluster.echoes.push_back(std::make_unique<EchoSatellite>());
    if (cluster.echoes.back()->Connect(u"127.0.0.1", Name(u"echo", i).c_str()) != 0) return false;
  }
  cluster.client = std::make_unique<ClientSatellite>();
  return cluster.client->Connect(u"127.0.0.1", u"bench-client") == 0;
}

void StopCluster() {
  cluster.client.reset();
  cluster.echoes.clear();
  if (cluster.engine != nullptr) {
    KivRemoveSatellite(cluster.engine);
    KivDestroy(cluster.engine);
  }
  cluster.directory.reset();
}

// Registers 1,000 new satellites of 10 services each (timed), then removes
// them again (untimed), so every round starts from the same table.
void BM_WireRegister(benchmark::State& state) {
  std::vector<kiv::Variant> records;
  for (int i = 0; i < kSatellites; ++i) records.push_back(RecordOf(RegistrationOf(u"new", i), 0));
  std::vector<double> micros;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    std::vector<std::int32_t> ids;  // [server id, satellite id] answers
    for (kiv::Variant& record : records) {
      const Clock::time_point before = Clock::now();
      kiv::Variant answer;
      if (Ask("Register", record, &answer) != 0) {
        state.SkipWithError("Register failed");
        return;
      }
      micros.push_back(MicrosSince(before));
      ids.push_back(static_cast<std::int32_t>(VUtil::GetLongElement(*answer, 1)));
    }
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    // Removal names the id too.
    for (int i = 0; i < kSatellites; ++i) {
      kiv::Variant record = RecordOf(RegistrationOf(u"new", i), ids[static_cast<std::size_t>(i)]);
      Ask("RemoveSatellite", record);
    }
  }
  state.SetItemsProcessed(state.iterations() * kSatellites);
  ReportLatencies(state, micros);
}

void WireLookup(benchmark::State& state, const char16_t* destination, const char16_t* service,
                LONG expected) {
  const kiv::Bstr to(destination);
  const kiv::Bstr name(service);
  std::vector<double> micros;
  for (auto _ : state) {
    kiv::Variant entries;
    const Clock::time_point before = Clock::now();
    const std::int32_t code =
        KivGetServiceReg(cluster.engine, to.get(), name.get(), 0, entries.get());
    micros.push_back(MicrosSince(before));
    if (code != 0 || VUtil::GetArrayLengthEmpty(*entries) != expected) {
      state.SkipWithError("wrong answer");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations());
  ReportLatencies(state, micros);
}

void BM_WireGetServiceRegNamed(benchmark::State& state) {
  WireLookup(state, u"sat500", u"Svc500-3", 1);
}
void BM_WireGetServiceRegAllOne(benchmark::State& state) {
  WireLookup(state, u"ALL", u"Svc500-3", 1);
}
void BM_WireGetServiceRegAllThousand(benchmark::State& state) {
  WireLookup(state, u"ALL", u"Common", kSatellites);
}

void SatelliteRequest(benchmark::State& state, const char16_t* destination, LONG targets) {
  const kiv::Variant argument = kiv::Variant::I4(42);
  std::vector<double> micros;
  for (auto _ : state) {
    kiv::Variant values;
    kiv::Variant statuses;
    const Clock::time_point before = Clock::now();
    const std::int32_t result =
        cluster.client->Request(destination, u"Echo", *argument, *values, KIV_NOFLAGS, *statuses);
    micros.push_back(MicrosSince(before));
    if (result != 0 || VUtil::GetArrayLength(*statuses) != targets ||
        VUtil::GetLongElement(*statuses, targets - 1) != 0) {
      state.SkipWithError("request failed");
      return;
    }
  }
  state.SetItemsProcessed(state.iterations());
  ReportLatencies(state, micros);
}

void BM_RequestOneSatellite(benchmark::State& state) {
  SatelliteRequest(state, u"echo0", 1);
}
void BM_RequestAllOfFour(benchmark::State& state) {
  SatelliteRequest(state, u"ALL", kEchoSatellites);
}

BENCHMARK(BM_TableRegister)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TableGetServiceRegNamed)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TableGetServiceRegAllOne)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TableGetServiceRegAllThousand)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WireRegister)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WireGetServiceRegNamed)
    ->Iterations(5000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WireGetServiceRegAllOne)
    ->Iterations(5000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WireGetServiceRegAllThousand)
    ->Iterations(500)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RequestOneSatellite)->Iterations(3000)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RequestAllOfFour)->Iterations(3000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  return kiv::bench::RunInPrivateNetwork(argc, argv, StartCluster, StopCluster,
                                         "could not start the directory and its satellites");
}

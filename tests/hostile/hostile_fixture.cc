#include "tests/hostile/hostile_fixture.h"

#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <limits>

#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "support/threads/cond.h"
#include "tests/hostile/resource_window.h"

namespace kiv::hostile {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Sanitized programs start slowly; ready lines come within this.
constexpr auto kStartTime = seconds(kSanitized ? 60 : 15);
// How often each good client calls: often enough to see a stall of a few
// tens of milliseconds, seldom enough to leave the victims' CPU to the attack.
constexpr auto kCallInterval = milliseconds(10);
constexpr auto kClientStopTime = seconds(10);

// The lowest threads and descriptors over a few readings: a reading may
// catch the worker of a good client's call in flight.
kiv::testing::ProcessStats SettledStats(pid_t pid) {
  kiv::testing::ProcessStats settled;
  settled.threads = settled.descriptors = std::numeric_limits<int>::max();
  PCondFlag pace;
  for (int i = 0; i < 10; ++i) {
    if (const auto stats = kiv::testing::ReadProcessStats(pid)) {
      settled.residentKiB = stats->residentKiB;
      settled.cpuSeconds = stats->cpuSeconds;
      settled.threads = std::min(settled.threads, stats->threads);
      settled.descriptors = std::min(settled.descriptors, stats->descriptors);
    }
    pace.TimedWaitSet(20);
  }
  return settled;
}

void ExpectCleanStop(kiv::testing::ChildProcess& program, const std::string& name) {
  program.Signal(SIGTERM);
  EXPECT_EQ(program.Wait(seconds(kSanitized ? 60 : 15)), 0)
      << name << " did not stop cleanly: " << program.Errors();
}

}  // namespace

void HostileTest::SetUp() {
  char pattern[] = "/tmp/kiv_hostile.XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  dir_ = pattern;
  environment_ = {{"KIV_DATA_DIR", dir_}, {"KIV_REGISTRY", dir_ + "/registry.reg"}};

  kivd_ = std::make_unique<kiv::testing::ChildProcess>(
      KIVD_PATH, std::vector<std::string>{"--server-id", kDirectoryId, "--users", kDirectoryUser},
      environment_);
  ASSERT_EQ(kivd_->WaitForLine("ready ", kStartTime), std::string("ready ") + kDirectoryId)
      << kivd_->Errors();
  directory_.name = "kivd";
  directory_.process = kivd_.get();
  directory_.port = KIV_DIRECTORY_PORT;

  satellite_.name = "satellite";
  victimProcess_ = Serve("victim", {"--service", "Echo", "--follow", "Fail"}, &satellite_.port);
  ASSERT_NE(satellite_.port, 0);
  satellite_.process = victimProcess_.get();

  StartGoodClients();
  if (HasFatalFailure()) return;
  for (Victim* victim : victims()) {
    ASSERT_TRUE(victim->client->AwaitCallAfter(Clock::now(), seconds(10))) << victim->name;
    victim->baseline = SettledStats(victim->process->pid());
    Print(victim->name, "baseline", victim->baseline);
  }
}

void HostileTest::StartGoodClients() {
  const kiv::Variant echoed = kiv::Variant::String(u"still served");
  satellite_.client = std::make_unique<GoodClient>("satellite", satellite_.port, "Echo", echoed,
                                                   ExpectAnswer(echoed), kCallInterval);
  // The directory's answer for the victim, as it stands before any attack.
  const kiv::Variant name = kiv::Variant::String(u"victim");
  kiv::Variant where;
  {
    KIV* probe = nullptr;
    ASSERT_EQ(KivCreate(&probe, nullptr, nullptr, nullptr), kiv::KIV_OK);
    kiv::Variant argument = name;
    std::int32_t returnCode = -1;
    const std::int32_t result = KivCall(probe, "127.0.0.1", KIV_DIRECTORY_PORT, "GetSatelliteHost",
                                        argument.get(), where.get(), &returnCode);
    KivRemoveSatellite(probe);
    KivDestroy(probe);
    ASSERT_EQ(result, 0) << kiv::DescribeResult(result);
    ASSERT_EQ(returnCode, 0);
  }
  directory_.client = std::make_unique<GoodClient>("kivd", KIV_DIRECTORY_PORT, "GetSatelliteHost",
                                                   name, ExpectAnswer(where), kCallInterval);
}

void HostileTest::TearDown() {
  // A client whose call hangs is freed by the end of its victim.
  for (Victim* victim : victims()) {
    if (victim->client && !victim->client->Stop(kClientStopTime)) {
      ADD_FAILURE() << victim->name << ": a good call has not returned for "
                    << kClientStopTime.count() << " s";
      if (victim->process != nullptr) victim->process->Kill();
    }
    victim->client.reset();
  }
  // The satellite first: it withdraws from the directory as it goes.
  if (victimProcess_) ExpectCleanStop(*victimProcess_, "the satellite");
  if (kivd_) ExpectCleanStop(*kivd_, "kivd");
  victimProcess_.reset();
  kivd_.reset();
  if (!dir_.empty()) std::filesystem::remove_all(dir_);
}

std::unique_ptr<kiv::testing::ChildProcess> HostileTest::Serve(const std::string& name,
                                                               std::vector<std::string> args,
                                                               std::uint16_t* port) {
  args.insert(args.begin(), {"serve", "--name", name});
  auto serve = std::make_unique<kiv::testing::ChildProcess>(KIV_CLI_PATH, args, environment_);
  const auto ready = serve->WaitForLine("ready " + name + " ", kStartTime);
  EXPECT_TRUE(ready.has_value()) << serve->Errors();
  if (port != nullptr && ready) {
    *port = static_cast<std::uint16_t>(std::stoi(ready->substr(ready->rfind(' ') + 1)));
  }
  return serve;
}

kiv::testing::ProgramOutcome HostileTest::Kiv(const std::vector<std::string>& args) {
  return kiv::testing::RunProgram(KIV_CLI_PATH, args, "", environment_);
}

void HostileTest::ExpectServed(Victim& victim, const std::string& phase, Clock::time_point from,
                               Clock::time_point to) {
  const CallFigures figures = victim.client->Figures(from, to);
  std::printf("[hostile] %s good client %s: %s\n", victim.name.c_str(), phase.c_str(),
              Describe(figures).c_str());
  std::fflush(stdout);
  EXPECT_GT(figures.calls, 0u) << victim.name << " " << phase;
  EXPECT_EQ(figures.failures, 0u) << victim.name << " " << phase << ": " << figures.firstFailure;
  EXPECT_LE(figures.median, kMedianLatency) << victim.name << " " << phase;
  EXPECT_LE(figures.max, kWorstLatency) << victim.name << " " << phase;
}

void HostileTest::ExpectBackToBaseline(Victim& victim, const std::string& phase, int slack,
                                       std::chrono::milliseconds timeout) {
  const int threads = victim.baseline.threads + slack;
  const int descriptors = victim.baseline.descriptors + slack;
  const auto after = AwaitAtMost(victim.process->pid(), threads, descriptors, timeout);
  ASSERT_TRUE(after.has_value()) << victim.name << " has gone";
  Print(victim.name, phase, *after);
  EXPECT_LE(after->threads, threads) << victim.name << " " << phase;
  EXPECT_LE(after->descriptors, descriptors) << victim.name << " " << phase;
}

}  // namespace kiv::hostile

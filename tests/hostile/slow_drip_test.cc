// Slow drip: many connections that each send one byte of a request a
// second, below and beyond the victims' table of 200 connections, while the
// good clients keep calling.
#include <gtest/gtest.h>

#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/value.h"
#include "testing/raw_peer.h"
#include "tests/hostile/drip_sender.h"
#include "tests/hostile/hostile_fixture.h"
#include "tests/hostile/resource_window.h"

namespace kiv::hostile {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The engine serves at most this many connections at once.
constexpr std::size_t kTable = 200;
constexpr std::size_t kBelowTable = 150;
constexpr std::size_t kBeyondTable = 250;
constexpr auto kDripInterval = seconds(1);
constexpr auto kDripTime = seconds(12);
constexpr auto kFullTime = seconds(4);
constexpr auto kOpenTime = seconds(kSanitized ? 60 : 20);

// Bounds, from measurement with margin.
// Resident memory a victim may add while it holds the drips: a worker, its
// stack and its buffers per connection. Measured here for 150 (200) of them:
// 3 (4) MiB plain, 40 (48) MiB under ASan, 190 (240) MiB under TSan, which
// keeps over a MiB of its own per thread.
constexpr std::int64_t kMaxGrowthKiB = kSanitized ? 512 * 1024 : 32 * 1024;
// The victim's CPU time per wall second while dripped on (2 CPUs here):
// measured 0.01 to 0.03 plain, up to 0.09 sanitized.
constexpr double kMaxCpuShare = kSanitized ? 0.5 : 0.25;
// Connections the victim holds besides the attack: the good client's and
// the other program's (directory pings, registration).
constexpr std::size_t kOwnConnections = 4;
// How soon a fresh connection is served once the attackers have left.
constexpr auto kRecoveryTime = seconds(2);

// The start of a real request; at a byte a second it would take minutes to
// complete, so every dripped connection stays in the middle of its message.
Bytes DrippedRequest() {
  const kiv::Variant argument = kiv::Variant::I4(1);
  return kiv::testing::RequestBytes(u"a-caller-whose-name-takes-a-while-to-arrive", u"Echo",
                                    *argument);
}

// The time until a call on a new connection succeeds, or nothing.
std::optional<milliseconds> TimeToFreshService(const Victim& victim, const std::string& request,
                                               const kiv::Variant& argument, milliseconds timeout) {
  const auto start = Clock::now();
  KIV* engine = nullptr;
  if (KivCreate(&engine, nullptr, nullptr, nullptr) != kiv::KIV_OK) return std::nullopt;
  std::optional<milliseconds> took;
  PCondFlag pace;
  while (Clock::now() - start < timeout) {
    kiv::Variant sent = argument;
    kiv::Variant value;
    std::int32_t returnCode = 0;
    // Each attempt on a connection of its own: a refused one is closed.
    if (KivCall(engine, "127.0.0.1", victim.port, request.c_str(), sent.get(), value.get(),
                &returnCode) == 0) {
      took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
      break;
    }
    pace.TimedWaitSet(10);
  }
  KivRemoveSatellite(engine);
  KivDestroy(engine);
  return took;
}

class SlowDripTest : public HostileTest {};

TEST_F(SlowDripTest, BelowTheTableEveryCallIsServedAndEverythingIsReleasedAfterwards) {
  const Bytes payload = DrippedRequest();
  ASSERT_GT(payload.size(), static_cast<std::size_t>(kDripTime / kDripInterval) + 2);
  struct Attack {
    Victim* victim;
    Connections connections;
    std::unique_ptr<DripSender> drip;
    std::unique_ptr<ResourceWindow> window;
  };
  std::vector<Attack> attacks;
  for (Victim* victim : victims()) {
    Attack attack{victim, OpenConnections(victim->port, kBelowTable, Clock::now() + kOpenTime),
                  nullptr, nullptr};
    ASSERT_EQ(attack.connections.size(), kBelowTable) << victim->name;
    attacks.push_back(std::move(attack));
  }
  const auto start = Clock::now();
  for (Attack& attack : attacks) {
    std::vector<DripTarget> targets;
    for (auto& connection : attack.connections) targets.push_back({connection.get(), payload});
    attack.window = std::make_unique<ResourceWindow>(attack.victim->process->pid());
    attack.drip = std::make_unique<DripSender>(std::move(targets), kDripInterval);
  }
  SampleAllFor({attacks[0].window.get(), attacks[1].window.get()}, kDripTime);
  const auto end = Clock::now();

  for (Attack& attack : attacks) {
    const std::string& name = attack.victim->name;
    attack.drip->Stop();
    // Every connection got one byte a round.
    EXPECT_GE(attack.drip->bytesSent(), kBelowTable * (kDripTime / kDripInterval - 1)) << name;
    EXPECT_EQ(CountClosed(attack.connections), 0u) << name << " dropped a connection early";
    const ResourceWindow& window = *attack.window;
    ASSERT_FALSE(window.vanished()) << name;
    Print(name, "drip start", window.start());
    Print(name, "drip peak", window.peak());
    std::printf("[hostile] %s drip cpu share %.3f\n", name.c_str(), window.CpuShare());
    EXPECT_LE(window.peak().residentKiB - attack.victim->baseline.residentKiB, kMaxGrowthKiB)
        << name;
    EXPECT_LE(window.CpuShare(), kMaxCpuShare) << name;
    ExpectServed(*attack.victim, "during the drip", start, end);
  }
  for (Attack& attack : attacks) attack.connections.clear();
  const auto released = Clock::now();
  for (Victim* victim : victims()) {
    ExpectBackToBaseline(*victim, "after the drip");
    ASSERT_TRUE(victim->client->AwaitCallAfter(Clock::now(), seconds(5))) << victim->name;
    ExpectServed(*victim, "after the drip", released, Clock::now());
  }
}

TEST_F(SlowDripTest, BeyondTheTableTheExcessIsRefusedAsFullAndServiceResumesWhenItEnds) {
  std::vector<Connections> attacks;
  std::vector<std::size_t> refusedAtFirst;
  for (Victim* victim : victims()) {
    Connections connections = OpenConnections(victim->port, kBeyondTable, Clock::now() + kOpenTime);
    ASSERT_EQ(connections.size(), kBeyondTable) << victim->name;
    // Refusals go out as the victim accepts; at least the excess is refused.
    const std::size_t excess = kBeyondTable - kTable;
    EXPECT_TRUE(PollUntil(
        connections, [&] { return CountClosed(connections) >= excess; },
        Clock::now() + seconds(10)))
        << victim->name << " refused only " << CountClosed(connections);
    // Stragglers; a refusal can be no later than its accept.
    PollUntil(
        connections, [] { return false; }, Clock::now() + milliseconds(500));
    const std::size_t refused = CountClosed(connections);
    std::printf("[hostile] %s refused %zu of %zu connections\n", victim->name.c_str(), refused,
                kBeyondTable);
    EXPECT_GE(refused, excess) << victim->name;
    EXPECT_LE(refused, excess + kOwnConnections) << victim->name;
    for (const auto& connection : connections) {
      if (connection->closedByVictim()) {
        EXPECT_EQ(kiv::testing::Hex(connection->received()), "80 06 80 01") << victim->name;
      } else {
        EXPECT_TRUE(connection->received().empty()) << victim->name;
      }
    }
    attacks.push_back(std::move(connections));
    refusedAtFirst.push_back(refused);
  }

  // The full table holds; the good clients' connections are in it.
  const Bytes payload = DrippedRequest();
  std::vector<std::unique_ptr<DripSender>> drips;
  std::vector<std::unique_ptr<ResourceWindow>> windows;
  const auto start = Clock::now();
  for (std::size_t i = 0; i < attacks.size(); ++i) {
    std::vector<DripTarget> targets;
    for (auto& connection : attacks[i]) {
      if (!connection->closedByVictim()) targets.push_back({connection.get(), payload});
    }
    windows.push_back(std::make_unique<ResourceWindow>(victims()[i]->process->pid()));
    drips.push_back(std::make_unique<DripSender>(std::move(targets), kDripInterval));
  }
  SampleAllFor({windows[0].get(), windows[1].get()}, kFullTime);
  const auto end = Clock::now();
  for (std::size_t i = 0; i < attacks.size(); ++i) {
    Victim& victim = *victims()[i];
    drips[i]->Stop();
    // What was taken in stays in: a full table drops nobody.
    EXPECT_EQ(CountClosed(attacks[i]), refusedAtFirst[i]) << victim.name;
    Print(victim.name, "full peak", windows[i]->peak());
    EXPECT_LE(windows[i]->peak().residentKiB - victim.baseline.residentKiB, kMaxGrowthKiB)
        << victim.name;
    ExpectServed(victim, "with a full table", start, end);
  }

  for (Connections& connections : attacks) connections.clear();
  const kiv::Variant echoed = kiv::Variant::String(u"fresh");
  const auto satelliteBack = TimeToFreshService(satellite(), "Echo", echoed, seconds(10));
  const auto directoryBack = TimeToFreshService(directory(), "GetSatelliteHost",
                                                kiv::Variant::String(u"victim"), seconds(10));
  ASSERT_TRUE(satelliteBack.has_value());
  ASSERT_TRUE(directoryBack.has_value());
  std::printf(
      "[hostile] fresh connections served again after %lld ms (satellite), %lld ms "
      "(kivd)\n",
      static_cast<long long>(satelliteBack->count()),
      static_cast<long long>(directoryBack->count()));
  EXPECT_LE(*satelliteBack, kRecoveryTime);
  EXPECT_LE(*directoryBack, kRecoveryTime);
  for (Victim* victim : victims()) ExpectBackToBaseline(*victim, "after the full table");
}

}  // namespace
}  // namespace kiv::hostile

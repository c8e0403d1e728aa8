// Giant announcements: request heads that promise gigabytes, then go silent
// or trickle a byte a second. The victims must not allocate on the promise,
// must keep serving, and must drop each such connection once the engine's
// message time-out has run out for it, trickle or not.
#include <gtest/gtest.h>

#include <algorithm>

#include "testing/raw_peer.h"
#include "tests/hostile/drip_sender.h"
#include "tests/hostile/giant_messages.h"
#include "tests/hostile/hostile_fixture.h"
#include "tests/hostile/resource_window.h"

namespace kiv::hostile {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// The engine's message time-out (KIV::messageTimeoutMs), which the programs
// do not let a test shorten: a whole message must arrive within it, plus a
// second for every MiB that arrived (these send far less than a MiB).
constexpr auto kMessageTimeout = seconds(30);
// The drop is timed from the connect; the victim starts its clock at the
// accept, a little later, and notices the end within its next wait.
constexpr auto kEarliestDrop = kMessageTimeout - milliseconds(200);
constexpr auto kLatestDrop = kMessageTimeout + seconds(kSanitized ? 6 : 3);
// What the victim sends before it drops a message it could not read.
constexpr char kTransportRefusal[] = "80 06 00 05";
constexpr auto kPromptly = seconds(1);
// Connections per message shape and victim; half of them trickle.
constexpr std::size_t kPerShape = Scaled(8, 2);
// Resident memory a victim may add while it holds them all: with nothing
// allocated on trust each costs a worker and at most a 64 KiB first block
// (128 KiB for the one that sent 64 KiB). Measured 2 MiB plain, 40 MiB
// sanitized.
constexpr std::int64_t kMaxGrowthKiB = kSanitized ? 384 * 1024 : 24 * 1024;
// Address space it may add: stacks of its workers and per-thread malloc
// arenas, about 1.5 GiB at most here; a buffer sized by any one of the
// announcements would add 2 GiB or more for each connection of its shape.
constexpr std::int64_t kMaxAddressGrowthKiB = std::int64_t{4} * 1024 * 1024;
// Measured 0.02 plain, 0.08 sanitized.
constexpr double kMaxCpuShare = kSanitized ? 0.5 : 0.25;

struct GiantConnection {
  Victim* victim;
  std::string shape;
  bool trickles;
  std::unique_ptr<RawConnection> connection;
};

std::string Label(const GiantConnection& giant) {
  return giant.victim->name + ", " + giant.shape + (giant.trickles ? ", trickling" : ", silent");
}

class GiantAnnouncementTest : public HostileTest {};

TEST_F(GiantAnnouncementTest, NothingIsAllocatedOnTrustAndEachIsDroppedAtTheMessageDeadline) {
  const std::vector<GiantMessage> messages = GiantMessages();
  ResourceWindow satelliteWindow(satellite().process->pid());
  ResourceWindow directoryWindow(directory().process->pid());
  std::vector<GiantConnection> giants;
  for (Victim* victim : victims()) {
    for (const GiantMessage& message : messages) {
      Connections opened =
          OpenConnections(victim->port, kPerShape, Clock::now() + seconds(kSanitized ? 30 : 10));
      ASSERT_EQ(opened.size(), kPerShape) << victim->name;
      for (std::size_t i = 0; i < opened.size(); ++i) {
        ASSERT_TRUE(opened[i]->SendAll(message.head, Clock::now() + seconds(5)))
            << victim->name << ", " << message.name;
        giants.push_back({victim, message.name, i % 2 == 1, std::move(opened[i])});
      }
    }
  }
  Clock::time_point firstConnect = Clock::time_point::max(), lastConnect{};
  for (const GiantConnection& giant : giants) {
    firstConnect = std::min(firstConnect, giant.connection->connectedAt());
    lastConnect = std::max(lastConnect, giant.connection->connectedAt());
  }
  // The silent ones are watched here, the trickling ones by their senders.
  std::vector<std::unique_ptr<DripSender>> drips;
  for (Victim* victim : victims()) {
    std::vector<DripTarget> targets;
    for (GiantConnection& giant : giants) {
      if (giant.victim != victim || !giant.trickles) continue;
      for (const GiantMessage& message : messages) {
        if (message.name == giant.shape)
          targets.push_back({giant.connection.get(), message.trickle});
      }
    }
    drips.push_back(std::make_unique<DripSender>(std::move(targets), seconds(1)));
  }
  Connections silent;
  for (GiantConnection& giant : giants) {
    if (!giant.trickles) silent.push_back(std::move(giant.connection));
  }
  // Back in place once the senders have stopped.
  auto restoreSilent = [&] {
    std::size_t next = 0;
    for (GiantConnection& giant : giants) {
      if (!giant.trickles) giant.connection = std::move(silent[next++]);
    }
  };

  const auto start = Clock::now();
  // Until the first drop is due, every connection stays and the victims
  // serve on; then until the last is due, the drops come.
  const auto quietEnd = firstConnect + kEarliestDrop;
  while (Clock::now() < quietEnd) {
    PollOnce(silent, 100);
    satelliteWindow.Sample();
    directoryWindow.Sample();
  }
  const auto served = Clock::now();
  PollUntil(
      silent,
      [&] {
        return CountClosed(silent) == silent.size() &&
               std::all_of(drips.begin(), drips.end(),
                           [](const auto& drip) { return drip->AllClosed(); });
      },
      lastConnect + kLatestDrop);
  for (auto& drip : drips) drip->Stop();
  restoreSilent();

  for (const GiantConnection& giant : giants) {
    const RawConnection& connection = *giant.connection;
    ASSERT_TRUE(connection.closedByVictim())
        << Label(giant) << ": still open after " << kLatestDrop.count() << " s";
    const auto held = connection.closedAt() - connection.connectedAt();
    const std::string bytes = kiv::testing::Hex(connection.received());
    // A victim with a message size limit may refuse at once what it
    // announces; without one, it must wait no longer than the time-out.
    if (held < kPromptly && bytes == kTransportRefusal) continue;
    EXPECT_GE(held, kEarliestDrop) << Label(giant) << ": " << bytes;
    EXPECT_LE(held, kLatestDrop) << Label(giant);
    // Either a plain close or the refusal of an unreadable message.
    EXPECT_TRUE(bytes.empty() || bytes == kTransportRefusal) << Label(giant) << ": " << bytes;
  }
  for (ResourceWindow* window : {&satelliteWindow, &directoryWindow}) {
    Victim& victim = window == &satelliteWindow ? satellite() : directory();
    ASSERT_FALSE(window->vanished()) << victim.name;
    Print(victim.name, "giants peak", window->peak());
    std::printf("[hostile] %s giants address space %lld KiB, peak %lld KiB\n", victim.name.c_str(),
                static_cast<long long>(window->startVirtualKiB()),
                static_cast<long long>(window->peakVirtualKiB()));
    EXPECT_LE(window->peakVirtualKiB() - window->startVirtualKiB(), kMaxAddressGrowthKiB)
        << victim.name;
    std::printf("[hostile] %s giants cpu share %.3f\n", victim.name.c_str(), window->CpuShare());
    EXPECT_LE(window->peak().residentKiB - victim.baseline.residentKiB, kMaxGrowthKiB)
        << victim.name;
    EXPECT_LE(window->CpuShare(), kMaxCpuShare) << victim.name;
    ExpectServed(victim, "while the giants wait", start, served);
    ExpectBackToBaseline(victim, "after the giants");
  }
}

}  // namespace
}  // namespace kiv::hostile

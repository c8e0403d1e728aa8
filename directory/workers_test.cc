// The notice sender and the pinger with stand-ins for the network.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "directory/notice_sender.h"
#include "directory/satellite_pinger.h"
#include "support/threads/cond.h"
#include "support/threads/timeout.h"

namespace kiv::directory {
namespace {

// Waits for the predicate with a deadline, checking under the lock.
template <class Predicate>
bool WaitFor(PCondMutex& lock, Predicate done, int timeoutMs) {
  const timespec deadline = AbsoluteTimeout(timeoutMs);
  PScopedLock hold(&lock);
  while (!done()) {
    if (!lock.TimedWait(deadline)) return done();
  }
  return true;
}

TEST(NoticeSenderTest, DeliversInQueueOrderAndSurvivesAFailingDelivery) {
  PCondMutex lock;
  std::vector<std::u16string> seen;
  NoticeSender sender([&](const AvailabilityNotice& notice) {
    if (notice.service == u"bad") throw std::runtime_error("listener gone");
    PScopedLock hold(&lock);
    seen.push_back(notice.service);
    lock.Broadcast();
  });
  sender.Start();
  sender.Queue({{u"l", u"a", u"s", 1}, {u"l", u"bad", u"s", 1}});
  sender.Queue({{u"l", u"b", u"s", 0}});
  ASSERT_TRUE(WaitFor(
      lock, [&] { return seen.size() == 2; }, 5000));
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"a", u"b"}));
  sender.Stop();
  EXPECT_EQ(sender.Delivered(), 3u);
}

TEST(SatellitePingerTest, PingsEveryTargetEachRoundAndReportsOutcomes) {
  DirectoryTable table;
  table.Register({u"alive", u"pc", "127.0.0.1", 1, 0, {}});
  table.Register({u"dead", u"pc", "127.0.0.1", 2, 0, {{u"Echo", u""}}});
  table.Register({u"watcher", u"pc", "127.0.0.1", 3, 0, {}});
  table.AddListener(u"watcher", {u"Echo"});
  PCondMutex lock;
  std::vector<AvailabilityNotice> notices;
  std::atomic<int> pings{0};
  SatellitePinger pinger(
      std::chrono::milliseconds(20), [&] { return table.Satellites(); },
      [&](const SatelliteRecord& record) {
        ++pings;
        return record.name != u"dead";
      },
      [&](const SatelliteRecord& record, bool answered) {
        const auto dropped = table.RecordPing(record.id, answered);
        PScopedLock hold(&lock);
        if (dropped)
          notices.insert(notices.end(), dropped->notices.begin(), dropped->notices.end());
        lock.Broadcast();
      });
  pinger.Start();
  ASSERT_TRUE(WaitFor(
      lock, [&] { return !notices.empty(); }, 5000));
  pinger.Stop();
  EXPECT_EQ(notices, (std::vector<AvailabilityNotice>{{u"watcher", u"Echo", u"dead", 0}}));
  EXPECT_FALSE(table.Find(u"dead"));
  EXPECT_EQ(table.Find(u"alive")->failedPings, 0);
  // Exactly three rounds pinged "dead"; every round pinged the others.
  EXPECT_GE(pinger.Rounds(), 3u);
  EXPECT_GE(pings.load(), 9);
}

}  // namespace
}  // namespace kiv::directory

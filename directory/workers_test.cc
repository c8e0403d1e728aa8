// The notice sender and the pinger with stand-ins for the network.
#include <gtest/gtest.h>

#include <chrono>

#include "directory/notice_sender.h"
#include "directory/satellite_pinger.h"
#include "support/threads/mutex.h"
#include "testing/wait.h"

namespace kiv::directory {
namespace {

TEST(NoticeSenderTest, DeliversInQueueOrderAndSurvivesAFailingDelivery) {
  PMutex lock;
  std::vector<std::u16string> seen;
  NoticeSender sender([&](const AvailabilityNotice& notice) {
    if (notice.service == u"bad") throw std::runtime_error("listener gone");
    PScopedLock hold(&lock);
    seen.push_back(notice.service);
  });
  sender.Start();
  sender.Queue({{u"l", u"a", u"s", 1}, {u"l", u"bad", u"s", 1}});
  sender.Queue({{u"l", u"b", u"s", 0}});
  ASSERT_TRUE(testing::WaitUntil([&] { return sender.Delivered() == 3; }));
  sender.Stop();
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"a", u"b"}));
}

TEST(SatellitePingerTest, PingsEveryTargetEachRoundAndReportsInItsOrder) {
  std::vector<SatelliteRecord> targets(3);
  for (std::int32_t id : {1, 2, 3}) targets[id - 1].id = id;
  PMutex lock;
  std::vector<std::pair<std::int32_t, bool>> reports;
  SatellitePinger pinger(
      std::chrono::milliseconds(20), [&] { return targets; },
      [](const SatelliteRecord& target) { return target.id != 2; },
      [&](const SatelliteRecord& target, bool answered) {
        PScopedLock hold(&lock);
        reports.emplace_back(target.id, answered);
      });
  pinger.Start();
  ASSERT_TRUE(testing::WaitUntil([&] { return pinger.Rounds() >= 2; }));
  pinger.Stop();
  const std::vector<std::pair<std::int32_t, bool>> round = {{1, true}, {2, false}, {3, true}};
  ASSERT_GE(reports.size(), 6u);
  for (std::size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(reports[i], round[i % 3]) << i;
}

}  // namespace
}  // namespace kiv::directory

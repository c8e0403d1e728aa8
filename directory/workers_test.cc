// The directory's background workers: the notice sender with a stand-in for
// the network, the pinger against satellites on loopback sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "directory/liveness_probe.h"
#include "directory/notice_sender.h"
#include "directory/satellite_pinger.h"
#include "kiv/status.h"
#include "support/threads/mutex.h"
#include "testing/raw_peer.h"
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

// Satellites that take the connection and never answer used to hold eight
// pings at a time for 30 s each, stretching a round past the 41 s after
// which live satellites give the directory up.
TEST(SatellitePingerTest, SilentSatellitesCannotStretchTheRoundPastTheInterval) {
  using Clock = std::chrono::steady_clock;
  constexpr auto kInterval = std::chrono::milliseconds(1000);
  constexpr std::int32_t kLiveId = 7;
  const auto satelliteAt = [](std::uint16_t port, std::int32_t id) {
    SatelliteRecord record;
    record.id = id;
    record.host = "127.0.0.1";
    record.port = port;
    return record;
  };
  std::vector<testing::Listener> silent(40);
  std::vector<SatelliteRecord> targets;
  for (testing::Listener& listener : silent) {
    targets.push_back(satelliteAt(listener.port(), 100));
  }
  testing::Listener live;
  targets.push_back(satelliteAt(live.port(), kLiveId));  // last in line

  PMutex lock;
  std::vector<Clock::time_point> liveAnswers;
  std::atomic<bool> stop{false};
  const testing::TestThread peer([&] {
    while (!stop) {
      testing::Socket socket = live.Accept(50);
      if (!socket.valid()) continue;
      if (testing::ReadBytes(socket.get(), 6, 1000) != testing::PingBytes(kLiveId)) continue;
      testing::SendBytes(socket.get(),
                         testing::Concat({testing::U32Bytes(0), testing::U32Bytes(KIV_ALIVE)}));
      PScopedLock hold(&lock);
      liveAnswers.push_back(Clock::now());
    }
  });
  int answered = 0;
  int missed = 0;
  SatellitePinger pinger(
      kInterval, [&] { return targets; },
      [](const SatelliteRecord& r, std::chrono::milliseconds answerTime) {
        return AnswersPing(r.host, r.port, r.id, answerTime);
      },
      [&](const SatelliteRecord& r, bool ok) { ++(r.id == kLiveId && ok ? answered : missed); });
  pinger.Start();
  EXPECT_TRUE(testing::WaitUntil([&] { return pinger.Rounds() >= 4; }, 6000));
  pinger.Stop();
  stop = true;

  const int rounds = static_cast<int>(pinger.Rounds());
  EXPECT_EQ(answered, rounds);
  EXPECT_EQ(missed, rounds * static_cast<int>(silent.size()));
  PScopedLock hold(&lock);
  ASSERT_GE(liveAnswers.size(), 4u);
  for (std::size_t i = 1; i < liveAnswers.size(); ++i) {
    EXPECT_LT(liveAnswers[i] - liveAnswers[i - 1], kInterval * 13 / 10) << "round " << i;
  }
}

}  // namespace
}  // namespace kiv::directory

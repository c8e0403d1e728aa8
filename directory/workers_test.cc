// The directory's background workers: the notice sender with a stand-in for
// the network, the pinger against satellites on loopback sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "directory/liveness_probe.h"
#include "directory/notice_sender.h"
#include "directory/satellite_pinger.h"
#include "kiv/status.h"
#include "support/threads/mutex.h"
#include "testing/raw_peer.h"
#include "testing/wait.h"

namespace kiv::directory {
namespace {

// A stand-in for the network: records what each listener took, lets
// listener "slow" hang until released, has listener "gone" refuse and
// listener "broken" fail.
class FakeListeners {
 public:
  bool Deliver(const AvailabilityNotice& notice) {
    if (notice.listener == u"broken") throw std::runtime_error("cable cut");
    if (notice.listener == u"slow") {
      ++slowStarted_;
      testing::WaitUntil([&] { return released_.load(); });
    }
    PScopedLock hold(&lock_);
    if (notice.listener == u"gone" && notice.service == u"refused") return false;
    taken_.push_back(notice.listener + u":" + notice.service);
    return true;
  }
  void Dropped(const std::u16string& listener, std::size_t count, const char* why) {
    PScopedLock hold(&lock_);
    dropped_.push_back(listener + u":" + std::u16string(why, why + std::strlen(why)) + u":" +
                       std::u16string(1, static_cast<char16_t>(u'0' + count)));
  }
  void Release() { released_ = true; }
  int slowStarted() const { return slowStarted_; }
  std::vector<std::u16string> taken() const {
    PScopedLock hold(&lock_);
    return taken_;
  }
  std::vector<std::u16string> dropped() const {
    PScopedLock hold(&lock_);
    return dropped_;
  }

 private:
  mutable PMutex lock_;
  std::atomic<bool> released_{false};
  std::atomic<int> slowStarted_{0};
  std::vector<std::u16string> taken_;
  std::vector<std::u16string> dropped_;
};

AvailabilityNotice To(const char16_t* listener, const char16_t* service) {
  return {listener, service, u"s", 1};
}

TEST(NoticeSenderTest, ASilentListenerDelaysOnlyItsOwnNoticesWhichKeepTheirOrder) {
  FakeListeners listeners;
  NoticeSender sender([&](const AvailabilityNotice& n) { return listeners.Deliver(n); }, {},
                      std::chrono::milliseconds(100));
  sender.Start();
  sender.Queue({To(u"slow", u"1"), To(u"slow", u"2"), To(u"fast", u"a")});
  sender.Queue({To(u"fast", u"b")});
  ASSERT_TRUE(testing::WaitUntil([&] { return listeners.taken().size() == 2; }));
  EXPECT_EQ(listeners.taken(), (std::vector<std::u16string>{u"fast:a", u"fast:b"}));
  listeners.Release();
  ASSERT_TRUE(testing::WaitUntil([&] { return sender.Delivered() == 4; }));
  // The spare thread that served "fast" goes once idle; the last one stays.
  EXPECT_TRUE(testing::WaitUntil([&] { return sender.Threads() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(sender.Threads(), 1u);
  sender.Queue({To(u"fast", u"c")});
  EXPECT_TRUE(testing::WaitUntil([&] { return sender.Delivered() == 5; }));
  sender.Stop();
  EXPECT_EQ(listeners.taken(),
            (std::vector<std::u16string>{u"fast:a", u"fast:b", u"slow:1", u"slow:2", u"fast:c"}));
}

TEST(NoticeSenderTest, BacklogIsBoundedAndGoesWhenANoticeIsNotTaken) {
  FakeListeners listeners;
  NoticeSender sender([&](const AvailabilityNotice& n) { return listeners.Deliver(n); },
                      [&](const std::u16string& listener, std::size_t count, const char* why) {
                        listeners.Dropped(listener, count, why);
                      });
  sender.Start();
  // "slow" is busy with its first notice while more than its queue holds
  // arrive: the oldest waiting ones go.
  sender.Queue({To(u"slow", u"first")});
  ASSERT_TRUE(testing::WaitUntil([&] { return listeners.slowStarted() == 1; }));
  std::vector<AvailabilityNotice> flood;
  for (std::size_t i = 0; i < NoticeSender::kMaxQueuedPerRecipient + 3; ++i) {
    flood.push_back(To(u"slow", std::u16string(1, static_cast<char16_t>(u'a' + i % 26)).c_str()));
  }
  sender.Queue(flood);
  // "gone" refuses one notice and "broken" fails on one: what waits behind
  // either goes, "ok" is untouched, and a later notice to "gone" is tried
  // again.
  sender.Queue({To(u"gone", u"refused"), To(u"gone", u"x"), To(u"gone", u"y"), To(u"ok", u"z"),
                To(u"broken", u"v"), To(u"broken", u"w")});
  ASSERT_TRUE(testing::WaitUntil([&] {
    const auto taken = listeners.taken();
    return std::find(taken.begin(), taken.end(), u"ok:z") != taken.end() &&
           listeners.dropped().size() == 3;
  }));
  sender.Queue({To(u"gone", u"later")});
  listeners.Release();
  ASSERT_TRUE(testing::WaitUntil(
      [&] { return sender.Delivered() == 1 + NoticeSender::kMaxQueuedPerRecipient + 4; }));
  sender.Stop();
  const auto taken = listeners.taken();
  EXPECT_NE(std::find(taken.begin(), taken.end(), u"gone:later"), taken.end());
  EXPECT_EQ(std::find(taken.begin(), taken.end(), u"gone:x"), taken.end());
  EXPECT_EQ(std::count_if(taken.begin(), taken.end(),
                          [](const std::u16string& t) { return t.starts_with(u"slow:"); }),
            static_cast<long>(NoticeSender::kMaxQueuedPerRecipient + 1));
  // The first of the flood to be delivered is the fourth: three went.
  EXPECT_EQ(*std::find_if(taken.begin(), taken.end(),
                          [](const std::u16string& t) {
                            return t.starts_with(u"slow:") && t != u"slow:first";
                          }),
            u"slow:d");
  std::vector<std::u16string> dropped = listeners.dropped();
  std::sort(dropped.begin(), dropped.end());
  EXPECT_EQ(dropped, (std::vector<std::u16string>{u"broken:not taken:1", u"gone:not taken:2",
                                                  u"slow:queue full:3"}));
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

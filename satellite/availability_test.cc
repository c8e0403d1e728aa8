// Following services' availability: the listener requests a satellite sends
// to the directory, the notices it accepts, and the directory's death and
// return (on a test clock) that subscribe everything again.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "kiv/engine.h"
#include "kiv/vutil.h"
#include "satellite/satellite_test_util.h"
#include "support/time/wall_clock.h"
#include "testing/fake_directory.h"
#include "testing/log_capture.h"

namespace kiv::satellitetest {
namespace {

using kiv::testing::DirectoryRequest;
using kiv::testing::FakeDirectory;
using kiv::testing::LogCapture;
using Names = std::vector<std::u16string>;
using Statuses = std::vector<std::pair<std::int32_t, std::int32_t>>;

constexpr char16_t kAdd[] = u"AddServiceAvailabilityListener";
constexpr char16_t kRemove[] = u"RemoveServiceAvailabilityListener";

// The directory answers listener requests itself: its lookups point every
// request for "MainRegister" at its own port, and both requests get code 0.
class AvailabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.ok());
    directory_.SetHandler(u"GetServiceReg", [](const DirectoryRequest& request, VARIANT* value,
                                               std::int32_t* rc) {
      *rc = 0;
      if (VUtil::GetStringElement(*request.argument, 0) != u"MainRegister") {
        *rc = 0x20007;
        return 0;
      }
      *value =
          ArrayOf({ArrayOf(
                      {kiv::Variant::String(VUtil::GetStringElement(*request.argument, 1)),
                       kiv::Variant::String(u"MainRegister"), kiv::Variant::String(u"MainRegister"),
                       kiv::Variant::String(u"127.0.0.1"), kiv::Variant::I4(KIV_DIRECTORY_PORT),
                       kiv::Variant::String(u"pc"), kiv::Variant::I4(0)})})
              .Detach();
      return 0;
    });
    const auto accept = [](const DirectoryRequest&, VARIANT*, std::int32_t* rc) {
      *rc = 0;
      return 0;
    };
    directory_.SetHandler(kAdd, accept);
    directory_.SetHandler(kRemove, accept);
    directory_.ClearRequests();
  }

  // The names carried by every listener request of that kind, in order.
  std::vector<Names> Sent(const char16_t* request) {
    std::vector<Names> sent;
    for (const auto& r : directory_.RequestsNamed(request)) sent.push_back(Strings(*r.argument));
    return sent;
  }

  LogCapture log_;
  FakeDirectory directory_;
};

TEST_F(AvailabilityTest, FollowedNamesAreSubscribedAtConnectionAndDroppedAtDisconnect) {
  TestSatellite sat;
  sat.AddServiceAvailabilityListener(u"c");
  sat.AddServiceAvailabilityListener(u"a");
  sat.AddServiceAvailabilityListener(u"B");
  EXPECT_TRUE(directory_.Requests().empty());

  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  // The bare registration's report finds the object not yet connected
  // (logged); the services' report and the connection itself subscribe.
  const Names all{u"B", u"a", u"c"};
  EXPECT_EQ(Sent(kAdd), (std::vector<Names>{all, all}));
  EXPECT_EQ(log_.Count(LOG_ERROR, "Failed to AddServiceAvailabilityListener : 1"), 1);
  for (const auto& request : directory_.RequestsNamed(kAdd)) EXPECT_EQ(request.caller, u"sat1");

  directory_.ClearRequests();
  sat.AddServiceAvailabilityListener(u"a");  // followed already: asked again
  sat.RemoveServiceAvailabilityListener(u"c");
  sat.RemoveServiceAvailabilityListener(u"never");
  EXPECT_EQ(Sent(kAdd), std::vector<Names>{{u"a"}});
  EXPECT_EQ(Sent(kRemove), (std::vector<Names>{{u"c"}, {u"never"}}));

  directory_.ClearRequests();
  sat.Disconnect();
  EXPECT_EQ(Sent(kRemove), (std::vector<Names>{{u"B", u"a"}}));
  // The set survives for the next connection.
  directory_.ClearRequests();
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  EXPECT_EQ(Sent(kAdd), (std::vector<Names>{{u"B", u"a"}, {u"B", u"a"}}));
}

TEST_F(AvailabilityTest, NoticesReachTheOverrideAndBadOnesAnswerOne) {
  TestSatellite sat;
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  const auto notify = [&](kiv::Variant argument) {
    kiv::Variant value;
    std::int32_t rc = 0x5A5A;
    const std::int32_t result = KivCall(
        directory_.engine(), "127.0.0.1", static_cast<std::uint16_t>(sat.getSatellitePort()),
        "OnServiceAvailabilityChanged", argument.get(), value.get(), &rc);
    EXPECT_EQ(result, 0);
    return rc;
  };
  EXPECT_EQ(notify(ArrayOf({kiv::Variant::String(u"svcA"), kiv::Variant::String(u"sat1"),
                            kiv::Variant::I4(1)})),
            0);
  ASSERT_TRUE(sat.WaitForNotices(1, 5000));
  EXPECT_EQ(sat.Notices(), Names{u"svcA/sat1/1"});
  EXPECT_EQ(log_.Count(LOG_DEBUG, "OnServiceAvailabilityChanged svcA/sat1/1"), 1);

  EXPECT_EQ(notify(kiv::Variant::I4(3)), 1);
  EXPECT_EQ(notify(ArrayOf({kiv::Variant::String(u"svcA")})), 1);
  int warnings = 0;
  for (const auto& [level, message] : log_.Lines()) {
    warnings += level == LOG_WARN &&
                message.rfind("kiv service 'OnServiceAvailabilityChanged' error: ", 0) == 0;
  }
  EXPECT_EQ(warnings, 2);
  EXPECT_EQ(sat.Notices().size(), 1u);
}

// Moves the wall clock that the engine compares with the directory's last
// sign of life.
class TestClock {
 public:
  explicit TestClock(std::int64_t start) : now_(start) {
    SetClockForTesting([this] { return now_.load(); }, {});
  }
  ~TestClock() { SetClockForTesting({}, {}); }
  void Advance(std::int64_t seconds) { now_ += seconds; }

 private:
  std::atomic<std::int64_t> now_;
};

TEST_F(AvailabilityTest, DirectoryDeathAndReturnRegisterAgainAndResubscribe) {
  TestClock clock(1'000'000);
  TestSatellite sat([](TestSatellite& s) { s.AddService(u"Echo", u"", &Echo); });
  sat.AddServiceAvailabilityListener(u"svc");
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  std::int32_t id = 0;
  ASSERT_EQ(sat.GetSatelliteId(id), 0);
  const auto registersOfSat = [&] {
    int n = 0;
    for (const auto& r : directory_.RequestsNamed(u"Register")) n += r.caller == u"sat1";
    return n;
  };
  const std::string alive =
      "KivOnlineStatusChanged alive, reregistering service availability listeners";
  const int alivesBefore = log_.Count(LOG_DEBUG, alive);
  directory_.ClearRequests();

  // Reports arrive on the discovery thread in real life; the engine handles
  // them on the caller's thread.
  KivOnDirectoryStatus(directory_.id().c_str(), KIV_DEAD);
  EXPECT_EQ(sat.Statuses().back(), std::make_pair(id, std::int32_t{KIV_DEAD}));
  EXPECT_TRUE(directory_.Requests().empty());

  KivOnDirectoryStatus(directory_.id().c_str(), KIV_ALIVE);
  EXPECT_EQ(registersOfSat(), 1);
  EXPECT_EQ(Sent(kAdd), (std::vector<Names>{{u"svc"}, {u"svc"}}));
  EXPECT_EQ(log_.Count(LOG_DEBUG, alive), alivesBefore + 2);
  Statuses statuses = sat.Statuses();
  ASSERT_GE(statuses.size(), 3u);
  EXPECT_EQ(Statuses(statuses.end() - 3, statuses.end()),
            (Statuses{{id, KIV_DEAD}, {id, KIV_ALIVE}, {id, KIV_ALIVE}}));

  // Silence shorter than 41 seconds changes nothing; 41 seconds make the
  // engine report the loss, register again and report the return.
  const std::size_t before = sat.Statuses().size();
  directory_.ClearRequests();
  clock.Advance(40);
  KivOnDirectoryStatus(directory_.id().c_str(), KIV_ALIVE);
  EXPECT_EQ(sat.Statuses().size(), before);
  EXPECT_EQ(registersOfSat(), 0);
  clock.Advance(1);
  KivOnDirectoryStatus(directory_.id().c_str(), KIV_ALIVE);
  EXPECT_EQ(registersOfSat(), 1);
  EXPECT_EQ(Sent(kAdd).size(), 2u);
  statuses = sat.Statuses();
  EXPECT_EQ(Statuses(statuses.begin() + static_cast<std::ptrdiff_t>(before), statuses.end()),
            (Statuses{{id, KIV_DEAD}, {id, KIV_ALIVE}, {id, KIV_ALIVE}}));
}

}  // namespace
}  // namespace kiv::satellitetest

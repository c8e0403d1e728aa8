// Following services' availability: the listener requests a satellite sends
// to the directory, the notices it accepts, and the directory's reports that
// subscribe everything again. When the engine reports them is the engine's
// own business (engine/directory_status_test.cc).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kiv/engine.h"
#include "satellite/satellite_test_util.h"
#include "testing/fake_directory.h"
#include "testing/wait.h"

namespace kiv::satellitetest {
namespace {

using Names = std::vector<std::u16string>;

constexpr char16_t kAdd[] = u"AddServiceAvailabilityListener";
constexpr char16_t kRemove[] = u"RemoveServiceAvailabilityListener";

// Every service lookup leads to the directory itself, so that the listener
// requests for "MainRegister" reach it.
class AvailabilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.ok());
    directory_.SetHandler(u"GetServiceReg", [](const kiv::testing::DirectoryRequest& request,
                                               VARIANT* value, std::int32_t* rc) {
      const kiv::Variant self = kiv::Variant::String(u"MainRegister");
      *value =
          ArrayOf({ArrayOf({kiv::Variant::String(VUtil::GetStringElement(*request.argument, 1)),
                            self, self, kiv::Variant::String(u"127.0.0.1"),
                            kiv::Variant::I4(KIV_DIRECTORY_PORT), self, kiv::Variant::I4(0)})})
              .Detach();
      *rc = 0;
      return 0;
    });
    directory_.ClearRequests();
  }

  // The names carried by every listener request of that kind, in order.
  std::vector<Names> Sent(const char16_t* request) {
    std::vector<Names> sent;
    for (const auto& r : directory_.RequestsNamed(request)) sent.push_back(Strings(*r.argument));
    directory_.ClearRequests();
    return sent;
  }

  kiv::testing::FakeDirectory directory_;
};

TEST_F(AvailabilityTest, FollowedNamesAreSubscribedAtConnectionAndDroppedAtDisconnect) {
  TestSatellite sat;
  for (const char16_t* name : {u"c", u"a", u"B"}) sat.AddServiceAvailabilityListener(name);
  EXPECT_TRUE(directory_.Requests().empty());

  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  // The bare registration's report finds the object not yet connected; the
  // services' report and the connection itself subscribe.
  for (const auto& request : directory_.RequestsNamed(kAdd)) EXPECT_EQ(request.caller, u"sat1");
  const Names all{u"B", u"a", u"c"};
  EXPECT_EQ(Sent(kAdd), (std::vector<Names>{all, all}));

  sat.AddServiceAvailabilityListener(u"a");  // followed already: asked again
  EXPECT_EQ(Sent(kAdd), std::vector<Names>{{u"a"}});
  sat.RemoveServiceAvailabilityListener(u"c");
  sat.RemoveServiceAvailabilityListener(u"never");
  EXPECT_EQ(Sent(kRemove), (std::vector<Names>{{u"c"}, {u"never"}}));
  sat.Disconnect();
  EXPECT_EQ(Sent(kRemove), (std::vector<Names>{{u"B", u"a"}}));
  // The set survives for the next connection.
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  EXPECT_EQ(Sent(kAdd), (std::vector<Names>{{u"B", u"a"}, {u"B", u"a"}}));
}

TEST_F(AvailabilityTest, NoticesReachTheOverrideAndBadOnesAnswerOne) {
  TestSatellite sat;
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  const auto notify = [&](kiv::Variant argument) {
    kiv::Variant value;
    std::int32_t rc = 0x5A5A;
    EXPECT_EQ(KivCall(directory_.engine(), "127.0.0.1",
                      static_cast<std::uint16_t>(sat.getSatellitePort()),
                      "OnServiceAvailabilityChanged", argument.get(), value.get(), &rc),
              0);
    return rc;
  };
  EXPECT_EQ(notify(ArrayOf({kiv::Variant::String(u"svcA"), kiv::Variant::String(u"sat1"),
                            kiv::Variant::I4(1)})),
            0);
  EXPECT_EQ(notify(kiv::Variant::I4(3)), 1);
  EXPECT_EQ(notify(ArrayOf({kiv::Variant::String(u"svcA")})), 1);
  EXPECT_EQ(sat.Notices(), Names{u"svcA/sat1/1"});
}

TEST_F(AvailabilityTest, TheDirectorysDeathAndReturnRegisterAgainAndResubscribe) {
  TestSatellite sat([](TestSatellite& s) { s.AddService(u"Echo", u"", &Echo); });
  sat.AddServiceAvailabilityListener(u"svc");
  ASSERT_EQ(sat.Connect(u"127.0.0.1", u"sat1"), 0);
  std::int32_t id = 0;
  ASSERT_EQ(sat.GetSatelliteId(id), 0);
  directory_.ClearRequests();
  const std::size_t before = sat.StatusReports().size();

  // Reports arrive on the discovery thread in real life; the engine handles
  // them on the caller's thread.
  KivOnDirectoryStatus(directory_.id().c_str(), KIV_DEAD);
  EXPECT_TRUE(directory_.Requests().empty());
  KivOnDirectoryStatus(directory_.id().c_str(), KIV_ALIVE);
  const auto registers = directory_.RequestsNamed(u"Register");
  EXPECT_EQ(std::count_if(registers.begin(), registers.end(),
                          [](const auto& r) { return r.caller == u"sat1"; }),
            1);
  EXPECT_EQ(Sent(kAdd), (std::vector<Names>{{u"svc"}, {u"svc"}}));
  const TestSatellite::Statuses statuses = sat.StatusReports();
  EXPECT_EQ(TestSatellite::Statuses(statuses.begin() + static_cast<std::ptrdiff_t>(before),
                                    statuses.end()),
            (TestSatellite::Statuses{{id, KIV_DEAD}, {id, KIV_ALIVE}, {id, KIV_ALIVE}}));
}

}  // namespace
}  // namespace kiv::satellitetest

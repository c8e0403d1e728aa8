// KivOnDirectoryStatus with a test clock: the 41-second silence rule, the
// dead/alive pair around a re-registration, reports for other directories,
// and a re-registration that fails.
#include <gtest/gtest.h>

#include <atomic>

#include "engine/outgoing_test_util.h"
#include "kiv/engine.h"
#include "kiv/status.h"
#include "support/time/wall_clock.h"
#include "testing/fake_directory.h"
#include "testing/log_capture.h"

namespace kiv::testing {
namespace {

using StatusList = std::vector<std::pair<std::int32_t, std::int32_t>>;

constexpr std::int64_t kStart = 1'000'000;

// Wall-clock seconds that only the test moves; installed before any engine.
struct TestClock {
  std::atomic<std::int64_t> now{kStart};
  TestClock() {
    kiv::SetClockForTesting([this] { return now.load(); }, {});
  }
  ~TestClock() { kiv::SetClockForTesting({}, {}); }
};

class DirectoryReports : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(directory_.ok());
    ASSERT_EQ(satellite_.Register(u"sat", {u"Echo"}), 0);
    id_ = directory_.FindSatellite(u"sat")->id;
    ASSERT_EQ(satellite_.Statuses(), (StatusList{{id_, KIV_ALIVE}}));
  }

  // "Register" exchanges of the satellite, not of the directory's own engine.
  std::size_t SatelliteRegistrations() const {
    std::size_t n = 0;
    for (const DirectoryRequest& request : directory_.RequestsNamed(u"Register")) {
      n += request.caller == u"sat";
    }
    return n;
  }

  void Report(std::int32_t status) { KivOnDirectoryStatus(directory_.id().c_str(), status); }

  TestClock clock_;
  FakeDirectory directory_{"dir-1"};
  TestEngine satellite_;
  std::int32_t id_ = 0;
};

TEST_F(DirectoryReports, AliveAfterFortyOneSilentSecondsReregistersBetweenDeadAndAlive) {
  LogCapture log;
  clock_.now = kStart + 40;
  Report(KIV_ALIVE);
  EXPECT_EQ(satellite_.Statuses().size(), 1u);
  EXPECT_EQ(SatelliteRegistrations(), 1u);

  clock_.now = kStart + 41;
  Report(KIV_ALIVE);
  // Dead first, then the registration's own alive, then the report's.
  EXPECT_EQ(satellite_.Statuses(),
            (StatusList{{id_, KIV_ALIVE}, {id_, KIV_DEAD}, {id_, KIV_ALIVE}, {id_, KIV_ALIVE}}));
  ASSERT_EQ(SatelliteRegistrations(), 2u);
  // The record carries the id the directory gave and the stored services.
  const auto registrations = directory_.RequestsNamed(u"Register");
  const VARIANT& record = *registrations.back().argument;
  EXPECT_EQ(VUtil::GetStringElement(record, 0), u"sat");
  EXPECT_EQ(VUtil::GetLongElement(record, 4), id_);
  const kiv::Variant services = ElementOf(record, 6);
  ASSERT_EQ(VUtil::GetArrayLength(*services), 1);
  EXPECT_EQ(VUtil::GetStringElement(*ElementOf(*services, 0), 0), u"Echo");

  // The directory's own engine registered with itself and goes through the
  // same steps.
  EXPECT_EQ(log.Count(LOG_DEBUG, "No ping from directory"), 2);
  EXPECT_EQ(log.Count(LOG_DEBUG, "Reregistering satellite"), 2);

  // The registration counts as contact: the clock starts again.
  clock_.now = kStart + 81;
  Report(KIV_ALIVE);
  EXPECT_EQ(SatelliteRegistrations(), 2u);
  clock_.now = kStart + 82;
  Report(KIV_ALIVE);
  EXPECT_EQ(SatelliteRegistrations(), 3u);
}

TEST_F(DirectoryReports, DeadThenAliveReregistersOnce) {
  Report(KIV_DEAD);
  Report(KIV_DEAD);  // no change, no call
  Report(KIV_SHUTDOWN);
  EXPECT_EQ(SatelliteRegistrations(), 1u);
  Report(KIV_ALIVE);
  Report(KIV_ALIVE);  // within 41 s of the registration
  EXPECT_EQ(SatelliteRegistrations(), 2u);
  EXPECT_EQ(satellite_.Statuses(), (StatusList{{id_, KIV_ALIVE},
                                               {id_, KIV_DEAD},
                                               {id_, KIV_SHUTDOWN},
                                               {id_, KIV_ALIVE},
                                               {id_, KIV_ALIVE}}));
}

TEST_F(DirectoryReports, ReportsMatchOnlyTheExactDirectoryId) {
  TestEngine unregistered;
  KivOnDirectoryStatus("other-directory", KIV_DEAD);
  KivOnDirectoryStatus("DIR-1", KIV_DEAD);
  EXPECT_EQ(satellite_.Statuses().size(), 1u);
  EXPECT_TRUE(unregistered.Statuses().empty());

  // An engine that never registered holds the empty id; it is not
  // registered, so alive is only passed on.
  KivOnDirectoryStatus("", KIV_ALIVE);
  EXPECT_EQ(unregistered.Statuses(), (StatusList{{0, KIV_ALIVE}}));
  EXPECT_EQ(satellite_.Statuses().size(), 1u);
  EXPECT_EQ(SatelliteRegistrations(), 1u);
}

TEST_F(DirectoryReports, FailedReregistrationIsRetriedAfterTheNextSilence) {
  directory_.SetHandler(u"Register",
                        [](const DirectoryRequest&, VARIANT*, std::int32_t* returnCode) {
                          *returnCode = 1;
                          return 0;
                        });
  Report(KIV_DEAD);
  Report(KIV_ALIVE);
  EXPECT_EQ(SatelliteRegistrations(), 2u);
  // Only the report's alive: the failed registration tells nobody.
  EXPECT_EQ(satellite_.Statuses(),
            (StatusList{{id_, KIV_ALIVE}, {id_, KIV_DEAD}, {id_, KIV_ALIVE}}));

  clock_.now = kStart + 40;
  Report(KIV_ALIVE);
  EXPECT_EQ(SatelliteRegistrations(), 2u);
  clock_.now = kStart + 41;
  Report(KIV_ALIVE);
  EXPECT_EQ(SatelliteRegistrations(), 3u);
}

}  // namespace
}  // namespace kiv::testing

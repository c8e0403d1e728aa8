// The soak's judges: an echo that differs in any bit, a malformed answer,
// an unexcused failure and a growing process must each be caught.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <sstream>
#include <vector>

#include "kiv/vutil.h"
#include "tests/soak/echo_check.h"
#include "tests/soak/echo_value.h"
#include "tests/soak/outage_log.h"
#include "tests/soak/registration_check.h"
#include "tests/soak/resource_watch.h"

namespace kiv::soak {
namespace {

using std::chrono::seconds;

constexpr std::int32_t kNotFound = 0x00020007;
constexpr std::int32_t kConnectFailed = static_cast<std::int32_t>(0x80060024);

Variant Array(std::vector<Variant> elements, LONG lowerBound = 0) {
  SafeArrayPtr array(
      SafeArrayCreateVector(VT_VARIANT, lowerBound, static_cast<ULONG>(elements.size())));
  for (LONG i = 0; i < static_cast<LONG>(elements.size()); ++i) {
    LONG index = lowerBound + i;
    EXPECT_EQ(SafeArrayPutElement(array.get(), &index, elements[i].get()), S_OK);
  }
  return Variant::Adopt(array.release(), VT_VARIANT);
}

Variant Bytes(std::vector<std::uint8_t> bytes) {
  Variant value;
  VUtil::PutBinaryIntoVariant(*value, bytes.data(), static_cast<int>(bytes.size()));
  return value;
}

Variant NaN(std::uint64_t bits) {
  Variant value;
  value->vt = VT_R8;
  value->llVal = static_cast<LONGLONG>(bits);
  return value;
}

Variant Statuses(std::vector<LONG> codes) {
  SafeArrayPtr array(SafeArrayCreateVector(VT_I4, 0, static_cast<ULONG>(codes.size())));
  SafeArrayAccess data(array.get());
  std::memcpy(data.data(), codes.data(), codes.size() * sizeof(LONG));
  return Variant::Adopt(array.release(), VT_I4);
}

// What the callers send, by hand: [caller, counter, text, bytes, number].
Variant Sent(std::u16string text = u"abc", Variant counter = Variant::I8(2),
             std::vector<std::uint8_t> bytes = {1, 2, 3},
             std::uint64_t number = 0x7FF8000000000001) {
  return Array(
      {Variant::I4(1), std::move(counter), Variant::String(text), Bytes(bytes), NaN(number)});
}

TEST(EchoCheckTest, AnExactEchoPassesForOneTargetAndForAll) {
  const Variant sent = Sent();
  EXPECT_EQ(CheckEcho(*sent, true, 0, *Array({Sent()}), *Statuses({0})).kind, EchoOutcome::kOk);
  EXPECT_EQ(CheckEcho(*sent, false, 0, *Array({Sent(), Sent()}), *Statuses({0, 0})).kind,
            EchoOutcome::kOk);
}

TEST(EchoCheckTest, AnEchoThatDiffersInAnyBitIsWrong) {
  const Variant sent = Sent();
  const std::vector<std::pair<const char*, Variant>> echoes = [] {
    std::vector<std::pair<const char*, Variant>> all;
    all.emplace_back("one unit of the text", Sent(u"abd"));
    all.emplace_back("a text one unit shorter", Sent(u"ab"));
    all.emplace_back("the counter as VT_I4", Sent(u"abc", Variant::I4(2)));
    all.emplace_back("one byte", Sent(u"abc", Variant::I8(2), {1, 2, 4}));
    all.emplace_back("the payload of a NaN",
                     Sent(u"abc", Variant::I8(2), {1, 2, 3}, 0x7FF8000000000002));
    all.emplace_back("an element fewer", Array({Variant::I4(1), Variant::I8(2),
                                                Variant::String(u"abc"), Bytes({1, 2, 3})}));
    all.emplace_back("lower bound 1",
                     Array({Variant::I4(1), Variant::I8(2), Variant::String(u"abc"),
                            Bytes({1, 2, 3}), NaN(0x7FF8000000000001)},
                           1));
    all.emplace_back("a scalar", Variant::I4(1));
    return all;
  }();
  for (const auto& [change, echoed] : echoes) {
    SCOPED_TRACE(change);
    EXPECT_FALSE(SameValue(*sent, *echoed));
    const EchoOutcome outcome =
        CheckEcho(*sent, true, 0, *Array({Variant(echoed)}), *Statuses({0}));
    EXPECT_EQ(outcome.kind, EchoOutcome::kWrong);
    EXPECT_NE(outcome.problem.find("sent:"), std::string::npos);
    EXPECT_NE(outcome.problem.find("echoed:"), std::string::npos);
  }
  // Among good answers of ALL, one wrong one is enough.
  EXPECT_EQ(CheckEcho(*sent, false, 0, *Array({Sent(), Sent(u"x")}), *Statuses({0, 0})).kind,
            EchoOutcome::kWrong);
}

TEST(EchoCheckTest, FailuresCarryTheirStatusAndMalformedAnswersAreWrong) {
  const Variant sent = Sent();
  const Variant none;
  EchoOutcome outcome = CheckEcho(*sent, true, 1, *none, *none);
  EXPECT_EQ(outcome.kind, EchoOutcome::kFailed);
  EXPECT_EQ(outcome.status, 1);
  outcome = CheckEcho(*sent, true, 0, *none, *Statuses({kNotFound}));
  EXPECT_EQ(outcome.kind, EchoOutcome::kFailed);
  EXPECT_EQ(outcome.status, kNotFound);
  // ALL: one target down, the other echoed; the failure counts.
  outcome = CheckEcho(*sent, false, 0, *Array({Variant(), Sent()}), *Statuses({kConnectFailed, 0}));
  EXPECT_EQ(outcome.kind, EchoOutcome::kFailed);
  EXPECT_EQ(outcome.status, kConnectFailed);

  EXPECT_EQ(CheckEcho(*sent, true, 0, *Array({Sent(), Sent()}), *Statuses({0, 0})).kind,
            EchoOutcome::kWrong);  // a named call has one target
  EXPECT_EQ(CheckEcho(*sent, true, 0, *none, *Statuses({0})).kind, EchoOutcome::kWrong);
  EXPECT_EQ(CheckEcho(*sent, true, 0, *Array({Sent()}), *Variant::I4(0)).kind, EchoOutcome::kWrong);
  EXPECT_EQ(CheckEcho(*sent, false, 0, *Array({Sent()}), *Statuses({0, 0})).kind,
            EchoOutcome::kWrong);
}

TEST(EchoValueTest, EveryCallSendsANewValueThatEqualsItsCopy) {
  std::mt19937_64 random(7);
  const Variant first = MakeEchoValue(3, 1, random);
  const Variant second = MakeEchoValue(3, 2, random);
  EXPECT_TRUE(SameValue(*first, *Variant(first)));
  EXPECT_FALSE(SameValue(*first, *second));
  EXPECT_EQ(VUtil::GetLongElementEmpty(*second, 0), 3);
  EXPECT_EQ(CheckEcho(*second, true, 0, *Array({Variant(second)}), *Statuses({0})).kind,
            EchoOutcome::kOk);
}

TEST(OutageLogTest, OnlyAnOverlappingWindowOfTheDirectoryOrTheDestinationExcuses) {
  OutageLog log;
  const Clock::time_point t0 = Clock::now();
  const std::size_t sat1 = log.Open("sat1", t0 + seconds(10));
  log.Close(sat1, t0 + seconds(20));
  EXPECT_TRUE(log.Excuses("sat1", t0 + seconds(5), t0 + seconds(11)));
  EXPECT_TRUE(log.Excuses("sat1", t0 + seconds(19), t0 + seconds(25)));
  EXPECT_TRUE(log.Excuses(kAllSatellites, t0 + seconds(12), t0 + seconds(13)));
  EXPECT_FALSE(log.Excuses("sat2", t0 + seconds(12), t0 + seconds(13)));
  EXPECT_FALSE(log.Excuses("sat1", t0 + seconds(21), t0 + seconds(22)));
  EXPECT_FALSE(log.Excuses("sat1", t0 + seconds(1), t0 + seconds(9)));

  log.Open(kDirectoryProcess, t0 + seconds(30));  // still open
  EXPECT_TRUE(log.Excuses("sat2", t0 + seconds(100), t0 + seconds(101)));
  EXPECT_FALSE(log.Excuses("sat2", t0 + seconds(25), t0 + seconds(29)));
}

TEST(RegistrationCheckTest, AStaleRecordAtAnOldPortDoesNotCountAsListed) {
  const Listing expected{{"sat1", 4001}, {"sat2", 4002}, {"soak-caller1", 4100}};
  EXPECT_TRUE(
      MissingFrom(expected,
                  {{"sat1", 4001}, {"sat2", 4002}, {"soak-caller1", 4100}, {"MainRegister", 29831}})
          .empty());
  EXPECT_EQ(
      MissingFrom(expected, {{"sat1", 4001}, {"sat2", 3999}}),
      (std::vector<std::string>{"sat2 (listed at port 3999, listening at 4002)", "soak-caller1"}));
}

TEST(ResourceWatchTest, GrowthPastTheBoundAfterWarmUpIsReportedOncePerMeasure) {
  Journal journal;
  Verdict verdict(journal, /*keepGoing=*/true);
  ResourceWatch watch({.residentKiB = 1000, .threads = 2, .descriptors = 3, .warmUp = seconds(10)},
                      verdict);
  const auto stats = [](std::int64_t kib, int threads, int fds) {
    testing::ProcessStats s;
    s.residentKiB = kib;
    s.threads = threads;
    s.descriptors = fds;
    return s;
  };
  // Before warm-up nothing is judged, however large.
  watch.Record("kivd", "kivd", stats(90000, 50, 50), seconds(2), seconds(20));
  watch.Record("kivd", "kivd", stats(5000, 10, 20), seconds(11), seconds(5));
  EXPECT_FALSE(watch.Kinds().at("kivd").baseline);
  watch.Record("kivd", "kivd", stats(5000, 10, 20), seconds(11), seconds(20));
  ASSERT_TRUE(watch.Kinds().at("kivd").baseline);
  // Up to the bound, also in a later incarnation of the same kind.
  watch.Record("kivd", "kivd", stats(6000, 12, 23), seconds(30), seconds(60));
  EXPECT_EQ(verdict.Count(), 0u);
  watch.Record("kivd", "kivd", stats(6001, 12, 23), seconds(31), seconds(61));
  EXPECT_EQ(verdict.Count(), 1u);
  watch.Record("kivd", "kivd", stats(7000, 13, 24), seconds(32), seconds(62));
  EXPECT_EQ(verdict.Count(), 3u);  // threads and descriptors; memory only once
  // Kinds are judged apart, and peaks include the warm-up.
  watch.Record("satellite", "sat1", stats(7000, 13, 24), seconds(40), seconds(70));
  EXPECT_EQ(verdict.Count(), 3u);
  EXPECT_EQ(watch.Kinds().at("kivd").peak.residentKiB, 90000);
}

TEST(VerdictTest, AViolationAbortsTheRunUnlessItKeepsGoing) {
  Journal journal;
  Verdict stopping(journal, false);
  Verdict going(journal, true);
  stopping.Violation("wrong echo");
  going.Violation("wrong echo");
  EXPECT_TRUE(stopping.WaitForAbort(std::chrono::milliseconds(0)));
  EXPECT_FALSE(going.Aborted());
  EXPECT_EQ(going.Texts(), std::vector<std::string>{"wrong echo"});
}

}  // namespace
}  // namespace kiv::soak

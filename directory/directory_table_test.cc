#include "directory/directory_table.h"

#include <gtest/gtest.h>

#include <limits>

#include "directory/directory_events.h"

namespace kiv::directory {
namespace {

using Notices = std::vector<AvailabilityNotice>;

Registration Reg(std::u16string name, std::int32_t knownId,
                 std::vector<std::u16string> services = {}, std::string host = "10.0.0.1") {
  Registration registration{std::move(name), u"pc", std::move(host), 4000, knownId, {}};
  for (auto& service : services) registration.services.push_back({service, u"about " + service});
  return registration;
}

// "satellite/service id," per offer.
std::u16string Text(const std::vector<ServiceEntry>& entries) {
  std::u16string text;
  for (const auto& e : entries)
    text += e.satellite + u"/" + e.service + u" " + char16_t(u'0' + e.id) + u",";
  return text;
}

TEST(DirectoryTableTest, IdsCountFromOneAndKeepTheIdASatelliteBringsWhenFree) {
  DirectoryTable table;
  constexpr std::int32_t kLast = std::numeric_limits<std::int32_t>::max();
  // {the id brought, the id given}: a taken or invalid one gets the next free.
  const std::pair<std::int32_t, std::int32_t> cases[] = {
      {0, 1}, {0, 2}, {7, 7}, {7, 8}, {0, 9}, {3, 3}, {-4, 10}, {kLast, kLast}, {0, 4}};
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const RegisterOutcome outcome =
        table.Register(Reg(std::u16string(1, u'a' + i), cases[i].first));
    EXPECT_EQ(outcome.id, cases[i].second) << i;
  }
}

TEST(DirectoryTableTest, TheSameSatelliteMergesAnotherOfItsNameReplacesIt) {
  DirectoryTable table;
  table.AddListener(u"x", {u"echo"});
  EXPECT_EQ(table.Register(Reg(u"s", 0)).id, 1);
  // A repeated service name keeps its place and spelling.
  table.Register(Reg(u"s", 1, {u"Echo", u"Sleep"}));
  const RegisterOutcome merged = table.Register(Reg(u"s", 1, {u"ECHO", u"Fail"}, "10.0.0.2"));
  EXPECT_EQ(merged.added, std::vector<std::u16string>{u"Fail"});
  std::u16string services;
  const SatelliteRecord record = *table.Find(u"s");
  for (const auto& offer : record.services)
    services += offer.name + u":" + offer.description + u",";
  EXPECT_EQ(services, u"Echo:about ECHO,Sleep:about Sleep,Fail:about Fail,");
  EXPECT_EQ(record.host, "10.0.0.2");

  const RegisterOutcome fresh = table.Register(Reg(u"s", 0, {}, "10.0.0.9"));
  EXPECT_EQ(fresh.id, 2);
  EXPECT_EQ(fresh.notices, (Notices{{u"x", u"Echo", u"s", 0}}));
  EXPECT_TRUE(table.Offers(u"ALL", u"Echo").empty());
  // The replaced process says goodbye late: it must not remove its successor;
  // nor does a name alone (id 0) remove anyone.
  EXPECT_FALSE(table.Remove(u"s", 1));
  EXPECT_FALSE(table.Remove(u"s", 0));
  EXPECT_FALSE(table.Withdraw(u"s", 1, {u"Echo"}));
  EXPECT_FALSE(table.Withdraw(u"s", 0, {u"Echo"}));
  EXPECT_EQ(table.Find(u"s")->host, "10.0.0.9");
  EXPECT_EQ(table.Size(), 1u);

  // A guarded name: only the holder named (found dead by the caller) goes.
  const RegisterOutcome held = table.Register(Reg(u"s", 0, {u"Echo"}), kReplaceNoHolder);
  ASSERT_TRUE(held.heldBy);
  EXPECT_EQ(held.heldBy->id, 2);
  EXPECT_EQ(held.id, 0);
  EXPECT_TRUE(table.Register(Reg(u"s", 1), /*replaceable=*/3).heldBy);  // back with its old id
  EXPECT_EQ(table.Find(u"s")->id, 2);
  EXPECT_TRUE(table.Offers(u"ALL", u"Echo").empty());
  const RegisterOutcome took = table.Register(Reg(u"s", 0), /*replaceable=*/2);
  EXPECT_FALSE(took.heldBy);
  EXPECT_TRUE(took.replaced);
  EXPECT_EQ(table.Find(u"s")->id, took.id);
}

TEST(DirectoryTableTest, OffersAndListenersAreCaselessInRegistrationOrder) {
  DirectoryTable table;
  table.Register(Reg(u"watcher", 0));
  table.AddListener(u"watcher", {u"Echo", u"Sleep"});
  table.AddListener(u"late", {u"ECHO"});
  EXPECT_EQ(table.Register(Reg(u"first", 0, {u"Echo", u"Other"})).notices,
            (Notices{{u"late", u"Echo", u"first", 1}, {u"watcher", u"Echo", u"first", 1}}));
  table.Register(Reg(u"second", 0, {u"Sleep"}));
  table.Register(Reg(u"third", 0, {u"echo"}));
  table.Register(Reg(u"second", 3, {u"ECHO"}));  // offers it later, keeps its place
  EXPECT_EQ(Text(table.Offers(u"ALL", u"eChO")), u"first/Echo 2,second/ECHO 3,third/echo 4,");
  EXPECT_EQ(Text(table.Offers(u"third", u"Echo")), u"third/echo 4,");
  EXPECT_TRUE(table.Offers(u"third", u"Sleep").empty());
  EXPECT_EQ(table.Withdraw(u"first", 2, {u"echo", u"Unknown"}),
            (Notices{{u"late", u"Echo", u"first", 0}, {u"watcher", u"Echo", u"first", 0}}));
  table.RemoveListener(u"late", {u"Echo"});
  EXPECT_EQ(table.ListenersOf(u"echo"), std::vector<std::u16string>{u"watcher"});
  // A satellite that is gone loses its subscriptions.
  ASSERT_TRUE(table.Remove(u"watcher", 1));
  EXPECT_TRUE(table.ListenersOf(u"Sleep").empty());
  EXPECT_TRUE(table.Register(Reg(u"first", 2, {u"Sleep"})).notices.empty());
}

// The drop and its notices are seen end to end in tools/kivd's program test.
TEST(DirectoryTableTest, AnAnsweredPingStartsTheCountOfMissedOnesAgain) {
  DirectoryTable table;
  const std::int32_t id = table.Register(Reg(u"s", 0)).id;
  for (const bool answered : {false, false, true, false, false}) {
    EXPECT_FALSE(table.RecordPing(id, answered));
  }
  EXPECT_EQ(table.Find(u"s")->failedPings, 2);
  ASSERT_TRUE(table.RecordPing(id, false));
  EXPECT_FALSE(table.RecordPing(id, false));  // late results are ignored
}

// The last kRecentEvents, newest last; a satellite that leaves stops following.
TEST(EventLogTest, KeepsTheLastEventsAndForgetsFollowersThatLeave) {
  EventLog log;
  log.Follow(u"m");
  log.Follow(u"x");
  for (int id = 1; id <= 150; ++id) log.Record({{}, "registered", "s", id, "h", 1, {}});
  const std::vector<DirectoryEvent> recent = log.Recent(1000);
  ASSERT_EQ(recent.size(), kRecentEvents);
  EXPECT_EQ(recent.front().id, 51);
  const std::vector<EventNotice> notices = log.Record({{}, "dropped", "x", 7, "h", 1, {}});
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].follower, u"m");
  const auto time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1500));
  EXPECT_EQ(ToJson({time, "removed", "s", 2, "h", 9, {"A"}}).dump(),
            R"({"address":"h","id":2,"kind":"removed","port":9,"satellite":"s","services":["A"],)"
            R"("time":"1970-01-01T00:00:01.500Z"})");
}

}  // namespace
}  // namespace kiv::directory

#include "directory/directory_table.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace kiv::directory {
namespace {

Registration Reg(std::u16string name, std::int32_t knownId,
                 std::vector<std::u16string> services = {}, std::string host = "10.0.0.1",
                 std::uint16_t port = 4000) {
  Registration registration{std::move(name), u"pc", std::move(host), port, knownId, {}};
  for (auto& service : services) registration.services.push_back({service, u"about " + service});
  return registration;
}

std::vector<std::u16string> Names(const std::vector<ServiceEntry>& entries) {
  std::vector<std::u16string> names;
  for (const auto& entry : entries) names.push_back(entry.satellite);
  return names;
}

TEST(DirectoryTableTest, IdsCountFromOneAndRegistrationsOfTheSameSatelliteMerge) {
  DirectoryTable table;
  EXPECT_EQ(table.Register(Reg(u"a", 0)).id, 1);
  const RegisterOutcome b = table.Register(Reg(u"b", 0));
  EXPECT_EQ(b.id, 2);
  EXPECT_TRUE(b.created);

  // The bare registration, then the services, then one more, as a
  // satellite sends them; a repeated name keeps its place and spelling.
  RegisterOutcome merged = table.Register(Reg(u"b", 2, {u"Echo", u"Sleep"}, "10.0.0.2", 4001));
  EXPECT_FALSE(merged.created);
  merged = table.Register(Reg(u"b", 2, {u"ECHO", u"Fail"}, "10.0.0.2", 4001));
  EXPECT_EQ(merged.id, 2);
  const SatelliteRecord record = *table.Find(u"b");
  ASSERT_EQ(record.services.size(), 3u);
  EXPECT_EQ(record.services[0].name, u"Echo");
  EXPECT_EQ(record.services[0].description, u"about ECHO");
  EXPECT_EQ(record.services[2].name, u"Fail");
  EXPECT_EQ(record.host, "10.0.0.2");
  EXPECT_EQ(table.Size(), 2u);
}

TEST(DirectoryTableTest, AnotherSatelliteOfARegisteredNameReplacesIt) {
  DirectoryTable table;
  table.Register(Reg(u"x", 0));
  table.Register(Reg(u"s", 0, {u"Echo"}));  // id 2
  table.AddListener(u"x", {u"echo"});

  const RegisterOutcome fresh = table.Register(Reg(u"s", 0, {}, "10.0.0.9"));
  EXPECT_TRUE(fresh.replaced);
  EXPECT_EQ(fresh.id, 3);
  EXPECT_EQ(fresh.notices, (std::vector<AvailabilityNotice>{{u"x", u"Echo", u"s", 0}}));
  EXPECT_TRUE(table.Offers(u"ALL", u"Echo").empty());
  // The replaced process says goodbye late: it must not remove its successor.
  EXPECT_FALSE(table.Remove(u"s", 2).has_value());
  EXPECT_FALSE(table.Withdraw(u"s", 2, {u"Echo"}).has_value());
  EXPECT_EQ(table.Find(u"s")->host, "10.0.0.9");
}

TEST(DirectoryTableTest, AnIdBroughtFromAnEarlierDirectoryIsKeptWhenFree) {
  DirectoryTable table;
  EXPECT_EQ(table.Register(Reg(u"old", 7)).id, 7);
  EXPECT_EQ(table.Register(Reg(u"other", 7)).id, 8);  // taken: the next one
  EXPECT_EQ(table.Register(Reg(u"new", 0)).id, 9);
  EXPECT_EQ(table.Register(Reg(u"low", 3)).id, 3);
  EXPECT_EQ(table.Register(Reg(u"negative", -4)).id, 10);
}

TEST(DirectoryTableTest, OffersListSatellitesInRegistrationOrderCaselessly) {
  DirectoryTable table;
  table.Register(Reg(u"first", 0, {u"Echo"}));
  table.Register(Reg(u"second", 0, {u"Sleep"}));
  table.Register(Reg(u"third", 0, {u"echo"}));
  table.Register(Reg(u"second", 2, {u"ECHO"}));  // offers it later, keeps its place

  EXPECT_EQ(Names(table.Offers(u"ALL", u"eChO")),
            (std::vector<std::u16string>{u"first", u"second", u"third"}));
  const auto named = table.Offers(u"third", u"Echo");
  ASSERT_EQ(named.size(), 1u);
  EXPECT_EQ(named[0].service, u"echo");  // as the satellite spelled it
  EXPECT_EQ(named[0].id, 3);
  EXPECT_EQ(named[0].host, "10.0.0.1");
  EXPECT_EQ(named[0].port, 4000);
  EXPECT_EQ(named[0].description, u"about echo");
  EXPECT_TRUE(table.Offers(u"third", u"Sleep").empty());
  EXPECT_TRUE(table.Offers(u"nobody", u"Echo").empty());
  EXPECT_TRUE(table.Offers(u"all", u"Echo").empty());  // "ALL" is exact
}

TEST(DirectoryTableTest, ListenersHearArrivalsAndDeparturesUntilTheyLeave) {
  DirectoryTable table;
  table.Register(Reg(u"watcher", 0));
  table.AddListener(u"watcher", {u"Echo", u"Sleep"});
  table.AddListener(u"late", {u"ECHO"});
  EXPECT_EQ(table.ListenersOf(u"echo"), (std::vector<std::u16string>{u"late", u"watcher"}));

  const auto added = table.Register(Reg(u"s", 0, {u"Echo", u"Other"})).notices;
  EXPECT_EQ(added, (std::vector<AvailabilityNotice>{{u"late", u"Echo", u"s", 1},
                                                    {u"watcher", u"Echo", u"s", 1}}));
  const auto withdrawn = table.Withdraw(u"s", 0, {u"echo", u"Unknown"});
  ASSERT_TRUE(withdrawn.has_value());
  EXPECT_EQ(withdrawn->size(), 2u);
  EXPECT_EQ((*withdrawn)[0].available, 0);

  table.RemoveListener(u"late", {u"Echo"});
  table.Register(Reg(u"s", 2, {u"Sleep"}));
  // A satellite that is gone loses its subscriptions.
  const auto removed = table.Remove(u"watcher", 1);
  ASSERT_TRUE(removed.has_value());
  EXPECT_TRUE(table.ListenersOf(u"Sleep").empty());
  EXPECT_TRUE(table.Remove(u"s", 0)->notices.empty());
  EXPECT_EQ(table.Size(), 0u);
}

TEST(DirectoryTableTest, ThreeMissedPingsInARowDropTheSatellite) {
  DirectoryTable table;
  table.Register(Reg(u"listener", 0));
  table.AddListener(u"listener", {u"Echo"});
  const std::int32_t id = table.Register(Reg(u"s", 0, {u"Echo"})).id;

  EXPECT_FALSE(table.RecordPing(id, false));
  EXPECT_FALSE(table.RecordPing(id, false));
  EXPECT_FALSE(table.RecordPing(id, true));  // an answer starts the count again
  EXPECT_FALSE(table.RecordPing(id, false));
  EXPECT_FALSE(table.RecordPing(id, false));
  EXPECT_EQ(table.Find(u"s")->failedPings, 2);
  const auto dropped = table.RecordPing(id, false);
  ASSERT_TRUE(dropped.has_value());
  EXPECT_EQ(dropped->record.name, u"s");
  EXPECT_EQ(dropped->notices, (std::vector<AvailabilityNotice>{{u"listener", u"Echo", u"s", 0}}));
  EXPECT_FALSE(table.Find(u"s"));
  EXPECT_FALSE(table.RecordPing(id, false));  // late results are ignored
}

TEST(DirectoryTableTest, ConcurrentRegistrationsGetDistinctIds) {
  DirectoryTable table;
  constexpr int kThreads = 4;
  constexpr int kEach = 200;
  std::vector<std::thread> threads;
  std::vector<std::vector<std::int32_t>> ids(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::u16string name = u"sat" + std::u16string(1, u'a' + t) +
                                    std::u16string(1, u'a' + i % 26) +
                                    std::u16string(1, u'a' + i / 26);
        ids[t].push_back(table.Register(Reg(name, 0, {u"Echo"})).id);
        table.Offers(u"ALL", u"Echo");
        table.RecordPing(ids[t].back(), true);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::int32_t> all;
  for (const auto& list : ids) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
  EXPECT_EQ(*all.begin(), 1);
  EXPECT_EQ(*all.rbegin(), kThreads * kEach);
  EXPECT_EQ(table.Offers(u"ALL", u"echo").size(), static_cast<std::size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace kiv::directory

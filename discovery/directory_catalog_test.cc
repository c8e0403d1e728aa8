// The tables' merge rules: who owns a user, what one NOTIFY changed, host
// changes, removal, the 41-second silence rule and the limits that keep a
// flood of fake NOTIFYs from growing the tables.
#include "discovery/directory_catalog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "testing/log_capture.h"

namespace kiv::discovery {
namespace {

using Set = std::set<std::string>;
using Pending = std::map<std::string, Set>;

class DirectoryCatalogTest : public ::testing::Test {
 protected:
  DirectoryUpdate Announce(const std::string& id, const std::string& host, Set users,
                           std::int64_t now = 100, Set aliases = {}) {
    aliases.insert(host);
    DirectoryUpdate update = table_.Update(id, host, aliases, users, now);
    EXPECT_TRUE(table_.Consistent());
    return update;
  }

  // Known directories "d0", "d1", ... up to the limit, without users.
  void FillDirectories(std::int64_t now = 100) {
    for (std::size_t i = table_.size(); i < kMaxDirectories; ++i) {
      const std::string id = "d" + std::to_string(i);
      table_.Update(id, "10.1.0.1:" + std::to_string(i), {"10.1.0.1:" + std::to_string(i)}, {},
                    now);
    }
  }

  DirectoryCatalog table_;
};

// "p0", "p1", ... "p<count-1>", each prefixed.
Set Names(const std::string& prefix, std::size_t count) {
  Set names;
  for (std::size_t i = 0; i < count; ++i) names.insert(prefix + std::to_string(i));
  return names;
}

TEST_F(DirectoryCatalogTest, FirstNotifyIsAliveWithEveryUserAndRepeatsChangeNothing) {
  DirectoryUpdate first = Announce("dir1", "10.0.0.5:1", {"alice", "bob"});
  EXPECT_EQ(first.status, KIV_ALIVE);
  EXPECT_EQ(first.added, (Set{"alice", "bob"}));
  EXPECT_TRUE(first.pending.empty());
  EXPECT_FALSE(first.hostChanged);

  DirectoryUpdate again = Announce("dir1", "10.0.0.5:1", {"bob", "alice"});
  EXPECT_EQ(again.status, KIV_ADDUSER);
  EXPECT_TRUE(again.added.empty());
  EXPECT_TRUE(again.pending.empty());
  EXPECT_EQ(table_.UserHost("alice"), "10.0.0.5:1");

  EXPECT_EQ(Announce("empty", "10.0.0.6:1", {}).status, KIV_ALIVE);
}

TEST_F(DirectoryCatalogTest, UsersMoveToTheLastAnnouncerAndLeaveWhenNoLongerListed) {
  Announce("dir1", "10.0.0.5:1", {"alice", "bob"});
  DirectoryUpdate moved = Announce("dir2", "10.0.0.6:1", {"alice", "carol"});
  EXPECT_EQ(moved.status, KIV_ALIVE);
  EXPECT_EQ(moved.pending, (Pending{{"dir1", {"alice"}}}));
  EXPECT_EQ(moved.added, (Set{"alice", "carol"}));
  EXPECT_EQ(table_.UserHost("alice"), "10.0.0.6:1");

  // dir1 takes alice back and drops bob in one NOTIFY.
  DirectoryUpdate back = Announce("dir1", "10.0.0.5:1", {"alice"});
  EXPECT_EQ(back.status, KIV_ADDUSER);
  EXPECT_EQ(back.pending, (Pending{{"dir1", {"bob"}}, {"dir2", {"alice"}}}));
  EXPECT_EQ(back.added, (Set{"alice"}));
  EXPECT_FALSE(table_.UserHost("bob"));
}

TEST_F(DirectoryCatalogTest, AHostOutsideTheNewAliasesRecreatesTheRecord) {
  Announce("dir1", "10.0.0.5:1", {"alice"}, 100);
  Announce("dir2", "10.0.0.6:1", {"bob"}, 100);
  // From another address but still listing the recorded one: same host.
  DirectoryUpdate aliased = Announce("dir1", "10.0.0.7:1", {"alice"}, 101, {"10.0.0.5:1"});
  EXPECT_FALSE(aliased.hostChanged);
  EXPECT_EQ(table_.Host("dir1"), "10.0.0.5:1");

  DirectoryUpdate changed = Announce("dir1", "10.0.0.7:1", {"alice", "bob"}, 102);
  EXPECT_TRUE(changed.hostChanged);
  EXPECT_EQ(changed.status, KIV_ALIVE);
  EXPECT_EQ(changed.pending, (Pending{{"dir1", {"alice"}}, {"dir2", {"bob"}}}));
  EXPECT_EQ(changed.added, (Set{"alice", "bob"}));
  EXPECT_EQ(table_.Host("dir1"), "10.0.0.7:1");

  // Even without users the old record's entry is there to report it down.
  Announce("dir3", "10.0.0.8:1", {});
  EXPECT_EQ(Announce("dir3", "10.0.0.9:1", {}).pending, (Pending{{"dir3", {}}}));
}

TEST_F(DirectoryCatalogTest, RemoveHandsBackTheUsersAndForgetsThem) {
  Announce("dir1", "10.0.0.5:1", {"alice", "bob"});
  Set users{"kept"};
  EXPECT_TRUE(table_.Remove("dir1", users));
  EXPECT_EQ(users, (Set{"alice", "bob", "kept"}));
  EXPECT_FALSE(table_.Contains("dir1"));
  EXPECT_FALSE(table_.UserHost("alice"));
  EXPECT_TRUE(table_.Consistent());
  EXPECT_FALSE(table_.Remove("dir1", users));
  EXPECT_EQ(table_.Host("dir1"), "");
}

TEST_F(DirectoryCatalogTest, ExpiresAfterMoreThan41SilentSecondsCountingTouches) {
  Announce("a", "10.0.0.5:1", {}, 1000);
  Announce("b", "10.0.0.6:1", {}, 1001);
  EXPECT_TRUE(table_.Expired(1041).empty());
  EXPECT_EQ(table_.Expired(1042), std::vector<std::string>{"a"});
  table_.Touch("a", 1010);
  table_.Touch("unknown", 1010);
  EXPECT_EQ(table_.Expired(1043), std::vector<std::string>{"b"});
  EXPECT_EQ(table_.size(), 2u);
}

TEST_F(DirectoryCatalogTest, AFullTableIgnoresNewDirectoriesButKeepsTheKnownOnesCurrent) {
  FillDirectories(100);
  ASSERT_EQ(table_.size(), kMaxDirectories);
  const DirectoryUpdate ignored = Announce("newcomer", "10.0.0.9:1", {"zoe"}, 110);
  EXPECT_TRUE(ignored.ignored);
  EXPECT_TRUE(ignored.added.empty());
  EXPECT_TRUE(ignored.pending.empty());
  EXPECT_FALSE(table_.Contains("newcomer"));
  EXPECT_FALSE(table_.UserHost("zoe"));

  // A known directory still refreshes, takes users and moves hosts.
  const DirectoryUpdate known = Announce("d5", "10.1.0.1:5", {"alice"}, 120);
  EXPECT_FALSE(known.ignored);
  EXPECT_EQ(known.added, (Set{"alice"}));
  const std::vector<std::string> expired = table_.Expired(150);
  EXPECT_EQ(std::count(expired.begin(), expired.end(), "d5"), 0);
  EXPECT_EQ(std::count(expired.begin(), expired.end(), "d4"), 1);
  const DirectoryUpdate moved = Announce("d7", "10.2.0.1:7", {}, 120);
  EXPECT_TRUE(moved.hostChanged);
  EXPECT_EQ(table_.Host("d7"), "10.2.0.1:7");
  EXPECT_EQ(table_.size(), kMaxDirectories);

  // Room again once one has gone.
  Set users;
  ASSERT_TRUE(table_.Remove("d0", users));
  EXPECT_EQ(Announce("newcomer", "10.0.0.9:1", {"zoe"}, 130).status, KIV_ALIVE);
  EXPECT_EQ(table_.UserHost("zoe"), "10.0.0.9:1");
}

TEST_F(DirectoryCatalogTest, UsersBeyondTheLimitsAreIgnoredWhileKnownOnesStillMove) {
  // One directory lists at most kMaxUsersPerDirectory users.
  const DirectoryUpdate big = Announce("big", "10.0.0.5:1", Names("b", kMaxUsersPerDirectory + 3));
  EXPECT_EQ(big.added.size(), kMaxUsersPerDirectory);
  EXPECT_EQ(table_.userCount(), kMaxUsersPerDirectory);
  // Listing the same users again drops none of those it holds.
  EXPECT_TRUE(Announce("big", "10.0.0.5:1", Names("b", kMaxUsersPerDirectory + 3)).added.empty());
  EXPECT_EQ(table_.userCount(), kMaxUsersPerDirectory);

  // All directories together hold at most kMaxUsers.
  for (std::size_t i = 1; table_.userCount() < kMaxUsers; ++i) {
    const std::string id = "full" + std::to_string(i);
    table_.Update(id, "10.0.1.1:1", {"10.0.1.1:1"}, Names(id + "-", kMaxUsersPerDirectory), 100);
  }
  ASSERT_EQ(table_.userCount(), kMaxUsers);
  const DirectoryUpdate late = Announce("late", "10.0.0.6:1", {"fresh", "b0"});
  EXPECT_EQ(late.status, KIV_ALIVE);  // the directory itself is taken
  // A user who moves does not add to the total; a new one would.
  EXPECT_EQ(late.added, (Set{"b0"}));
  EXPECT_EQ(late.pending, (Pending{{"big", {"b0"}}}));
  EXPECT_FALSE(table_.UserHost("fresh"));
  EXPECT_EQ(table_.UserHost("b0"), "10.0.0.6:1");
  EXPECT_EQ(table_.userCount(), kMaxUsers);
  EXPECT_TRUE(table_.Consistent());
}

TEST_F(DirectoryCatalogTest, EachFloodOfIgnoredNewcomersIsLoggedOnce) {
  kiv::testing::LogCapture log;
  auto warnings = [&log] {
    int n = 0;
    for (const auto& line : log.Lines()) n += line.first == LOG_WARN;
    return n;
  };
  FillDirectories(100);
  for (int i = 0; i < 50; ++i) Announce("fake" + std::to_string(i), "10.0.0.9:1", {}, 200 + i);
  const std::string full = "discovery: " + std::to_string(kMaxDirectories) +
                           " directories known, new ones ignored (first: fake0 from 10.0.0.9:1)";
  EXPECT_EQ(log.Count(LOG_WARN, full), 1);
  // A quiet minute ends the flood; the next one is logged again.
  Announce("again", "10.0.0.9:1", {}, 249 + kFloodQuietSeconds + 1);
  EXPECT_EQ(warnings(), 2);

  const Set users = Names("u", kMaxUsersPerDirectory + 100);
  Announce("d1", "10.1.0.1:1", users, 300);
  Announce("d2", "10.1.0.1:2", Names("v", kMaxUsersPerDirectory + 100), 301);
  const std::string firstIgnored = *std::next(users.begin(), kMaxUsersPerDirectory);
  EXPECT_EQ(log.Count(LOG_WARN,
                      "discovery: user limit reached (65536 in all, 4096 per directory), new users "
                      "ignored (first: " +
                          firstIgnored + " of d1)"),
            1);
  EXPECT_EQ(warnings(), 3);
}

}  // namespace
}  // namespace kiv::discovery

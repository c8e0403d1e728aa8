// The tables' merge rules: who owns a user, what one NOTIFY changed, host
// changes, removal and the 41-second silence rule.
#include "discovery/directory_table.h"

#include <gtest/gtest.h>

namespace kiv::discovery {
namespace {

using Set = std::set<std::string>;
using Pending = std::map<std::string, Set>;

class DirectoryTableTest : public ::testing::Test {
 protected:
  DirectoryUpdate Announce(const std::string& id, const std::string& host, Set users,
                           std::int64_t now = 100, Set aliases = {}) {
    aliases.insert(host);
    DirectoryUpdate update = table_.Update(id, host, aliases, users, now);
    EXPECT_TRUE(table_.Consistent());
    return update;
  }

  DirectoryTable table_;
};

TEST_F(DirectoryTableTest, FirstNotifyIsAliveWithEveryUserAndRepeatsChangeNothing) {
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

TEST_F(DirectoryTableTest, UsersMoveToTheLastAnnouncerAndLeaveWhenNoLongerListed) {
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

TEST_F(DirectoryTableTest, AHostOutsideTheNewAliasesRecreatesTheRecord) {
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

TEST_F(DirectoryTableTest, RemoveHandsBackTheUsersAndForgetsThem) {
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

TEST_F(DirectoryTableTest, ExpiresAfterMoreThan41SilentSecondsCountingTouches) {
  Announce("a", "10.0.0.5:1", {}, 1000);
  Announce("b", "10.0.0.6:1", {}, 1001);
  EXPECT_TRUE(table_.Expired(1041).empty());
  EXPECT_EQ(table_.Expired(1042), std::vector<std::string>{"a"});
  table_.Touch("a", 1010);
  table_.Touch("unknown", 1010);
  EXPECT_EQ(table_.Expired(1043), std::vector<std::string>{"b"});
  EXPECT_EQ(table_.size(), 2u);
}

}  // namespace
}  // namespace kiv::discovery

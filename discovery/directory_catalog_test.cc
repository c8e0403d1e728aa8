// The limits that keep a flood of fake NOTIFYs from growing the tables, and
// the one warning per flood. The other merge rules are followed through the
// client in discover_client_test.cc.
#include "discovery/directory_catalog.h"

#include <gtest/gtest.h>

#include <algorithm>

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

  DirectoryCatalog table_;
};

long Warnings(kiv::testing::LogCapture& log) {
  const auto lines = log.Lines();
  return std::count_if(lines.begin(), lines.end(),
                       [](const auto& line) { return line.first == LOG_WARN; });
}

// "p0", "p1", ... "p<count-1>".
Set Names(const std::string& prefix, std::size_t count) {
  Set names;
  for (std::size_t i = 0; i < count; ++i) names.insert(prefix + std::to_string(i));
  return names;
}

TEST_F(DirectoryCatalogTest, AFullTableIgnoresNewcomersLogsEachFloodOnceAndKeepsTheKnownCurrent) {
  kiv::testing::LogCapture log;
  for (std::size_t i = 0; i < kMaxDirectories; ++i) {
    Announce("d" + std::to_string(i), "10.1.0.1:" + std::to_string(i), {});
  }
  for (int i = 0; i < 50; ++i) {
    const DirectoryUpdate ignored =
        Announce("fake" + std::to_string(i), "10.0.0.9:1", {"zoe"}, 200 + i);
    ASSERT_TRUE(ignored.ignored && ignored.added.empty() && ignored.pending.empty());
  }
  EXPECT_FALSE(table_.Contains("fake0") || table_.UserHost("zoe"));
  EXPECT_EQ(Warnings(log), 1);
  // More than a quiet minute ends the flood; the next one is logged again.
  Announce("same", "10.0.0.9:1", {}, 249 + kFloodQuietSeconds);
  EXPECT_EQ(Warnings(log), 1);
  Announce("next", "10.0.0.9:1", {}, 249 + 2 * kFloodQuietSeconds + 1);
  EXPECT_EQ(Warnings(log), 2);

  // A known directory still takes users and moves hosts.
  EXPECT_EQ(Announce("d5", "10.1.0.1:5", {"alice"}, 400).added, (Set{"alice"}));
  EXPECT_TRUE(Announce("d7", "10.2.0.1:7", {}, 400).hostChanged);
  EXPECT_EQ(table_.Host("d7"), "10.2.0.1:7");
  EXPECT_EQ(table_.size(), kMaxDirectories);
  // Room again once one has gone.
  Set users;
  ASSERT_TRUE(table_.Remove("d0", users));
  EXPECT_EQ(Announce("newcomer", "10.0.0.9:1", {"zoe"}, 400).status, KIV_ALIVE);
  EXPECT_EQ(table_.UserHost("zoe"), "10.0.0.9:1");
}

TEST_F(DirectoryCatalogTest, UsersBeyondTheLimitsAreIgnoredWhileKnownOnesStillMove) {
  kiv::testing::LogCapture log;
  const Set listed = Names("b", kMaxUsersPerDirectory + 3);
  EXPECT_EQ(Announce("big", "10.0.0.5:1", listed).added.size(), kMaxUsersPerDirectory);
  // Listing the same users again drops none of those it holds.
  EXPECT_TRUE(Announce("big", "10.0.0.5:1", listed).added.empty());
  EXPECT_EQ(table_.userCount(), kMaxUsersPerDirectory);

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
  EXPECT_EQ(table_.userCount(), kMaxUsers);
  EXPECT_EQ(Warnings(log), 1);  // one for the whole flood of ignored users
}

}  // namespace
}  // namespace kiv::discovery

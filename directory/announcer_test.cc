// Runs in a private network: it binds the discovery port and uses the group.
#include "directory/announcer.h"

#include <gtest/gtest.h>

#include "discovery/datagram.h"
#include "testing/group_peer.h"
#include "testing/wait.h"

namespace kiv::directory {
namespace {

using discovery::DatagramKind;
using std::chrono::milliseconds;

const Announcement kAnnouncement{"dir-7", 29831, {"alpha", "beta"}, {"ann", "bob"}};

TEST(AnnouncerTextTest, NotifyAndByeByeFollowTheReadingRules) {
  const auto fields = discovery::ReadNotify("10.0.0.5", NotifyText(kAnnouncement));
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->serverId, "dir-7");
  EXPECT_EQ(fields->port, 29831);
  EXPECT_EQ(fields->aliases,
            (std::set<std::string>{"10.0.0.5:29831", "alpha:29831", "beta:29831"}));
  EXPECT_EQ(fields->users, (std::set<std::string>{"ann", "bob"}));
  EXPECT_EQ(discovery::ReadByeBye(ByeByeText("dir-7")), "dir-7");
  EXPECT_TRUE(IsSearch(discovery::kSearchDatagram));
  EXPECT_FALSE(IsSearch(NotifyText(kAnnouncement)));
}

// The next datagram of that kind on the group within 2 seconds, others
// passed over.
std::optional<std::string> Await(discoverytest::GroupPeer& group, DatagramKind kind) {
  std::string datagram;
  if (!testing::WaitUntil(
          [&] {
            return group.Receive(datagram, 100) && discovery::ClassifyDatagram(datagram) == kind;
          },
          2000)) {
    return std::nullopt;
  }
  return datagram;
}

TEST(AnnouncerTest, AnnouncesAtStartEveryIntervalAndSaysByeBye) {
  discoverytest::GroupPeer group(1901);
  Announcer announcer(kAnnouncement, milliseconds(300));
  ASSERT_TRUE(announcer.Start());
  EXPECT_EQ(Await(group, DatagramKind::kNotify), NotifyText(kAnnouncement));
  // The interval repeats it without being asked.
  EXPECT_TRUE(Await(group, DatagramKind::kNotify));
  EXPECT_EQ(announcer.SearchesAnswered(), 0u);
  announcer.Stop();
  EXPECT_EQ(Await(group, DatagramKind::kByeBye), ByeByeText("dir-7"));
}

TEST(AnnouncerTest, ASearchIsAnsweredAtOnceNotAtTheNextInterval) {
  discoverytest::GroupPeer group(1901);
  Announcer announcer(kAnnouncement, std::chrono::hours(1));
  ASSERT_TRUE(announcer.Start());
  ASSERT_TRUE(Await(group, DatagramKind::kNotify));
  ASSERT_TRUE(group.Send(std::string(discovery::kSearchDatagram)));
  EXPECT_TRUE(Await(group, DatagramKind::kNotify));
  EXPECT_TRUE(testing::WaitUntil([&] { return announcer.SearchesAnswered() == 1; }));
}

}  // namespace
}  // namespace kiv::directory

// Runs in a private network: it binds the discovery port and uses the group.
#include "directory/announcer.h"

#include <gtest/gtest.h>

#include "discovery/datagram.h"
#include "testing/group_peer.h"
#include "testing/wait.h"

namespace kiv::directory {
namespace {

using discovery::DatagramKind;

const Announcement kAnnouncement{"dir-7", 29831, {"alpha", "beta"}, {"ann", "bob"}};

TEST(AnnouncerTest, AnnouncesAtStartOnASearchEveryIntervalAndSaysByeBye) {
  discoverytest::GroupPeer group(1901);
  std::string datagram;
  // The next datagram of that kind on the group within 2 seconds.
  const auto await = [&](DatagramKind kind) {
    return testing::WaitUntil(
        [&] {
          return group.Receive(datagram, 100) && discovery::ClassifyDatagram(datagram) == kind;
        },
        2000);
  };
  {
    Announcer announcer(kAnnouncement, std::chrono::hours(1));
    ASSERT_TRUE(announcer.Start());
    ASSERT_TRUE(await(DatagramKind::kNotify));
    EXPECT_EQ(datagram, NotifyText(kAnnouncement));
    ASSERT_TRUE(group.Send(std::string(discovery::kSearchDatagram)));
    EXPECT_TRUE(await(DatagramKind::kNotify));  // at once, not in an hour
    EXPECT_TRUE(testing::WaitUntil([&] { return announcer.SearchesAnswered() == 1; }));
    announcer.Stop();
    ASSERT_TRUE(await(DatagramKind::kByeBye));
    EXPECT_EQ(datagram, ByeByeText("dir-7"));
  }
  Announcer periodic(kAnnouncement, std::chrono::milliseconds(300));
  ASSERT_TRUE(periodic.Start());
  EXPECT_TRUE(await(DatagramKind::kNotify) && await(DatagramKind::kNotify));  // unasked
  EXPECT_EQ(periodic.SearchesAnswered(), 0u);
}

}  // namespace
}  // namespace kiv::directory

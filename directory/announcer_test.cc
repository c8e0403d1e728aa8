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

// Answers to a search reach `kiv discover` in tools/kivd's program test.
TEST(AnnouncerTest, AnnouncesAtStartAndEveryIntervalAndSaysByeBye) {
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
  Announcer announcer(kAnnouncement, std::chrono::milliseconds(300));
  ASSERT_TRUE(announcer.Start());
  // At start, then twice unasked.
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(await(DatagramKind::kNotify)) << i;
  EXPECT_EQ(datagram, NotifyText(kAnnouncement));
  announcer.Stop();
  ASSERT_TRUE(await(DatagramKind::kByeBye));
  EXPECT_EQ(datagram, ByeByeText("dir-7"));
}

}  // namespace
}  // namespace kiv::directory

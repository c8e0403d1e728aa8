// Runs in a private network: it binds the discovery port and uses the group.
#include "directory/announcer.h"

#include <gtest/gtest.h>

#include "discovery/datagram.h"
#include "support/registry/registry_test_util.h"
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

// A SEARCH from outside AllowedPeers gets no answer, as a connection would
// get none.
TEST(AnnouncerTest, AnswersSearchesOnlyFromAllowedPeers) {
  for (const char* allowed : {"10.0.0.0/8", "127.0.0.0/8"}) {
    TempRegistry registry;
    registry.WriteSettings("\"AllowedPeers\"=\"" + std::string(allowed) + "\"");
    Announcer announcer(kAnnouncement, std::chrono::seconds(60));
    ASSERT_TRUE(announcer.Start());
    discoverytest::GroupPeer searcher;
    ASSERT_TRUE(searcher.Send(std::string(discovery::kSearchDatagram)));
    const bool answered = std::string(allowed) == "127.0.0.0/8";
    testing::WaitUntil([&] { return announcer.SearchesAnswered() > 0; }, answered ? 5000 : 300);
    EXPECT_EQ(announcer.SearchesAnswered(), answered ? 1u : 0u) << allowed;
  }
}

}  // namespace
}  // namespace kiv::directory

// Runs in a private network: it binds the discovery port and uses the group.
#include "directory/announcer.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "discovery/datagram.h"
#include "discovery/discovery_socket.h"
#include "discovery/multicast_group.h"

namespace kiv::directory {
namespace {

using std::chrono::milliseconds;

const Announcement kAnnouncement{"dir-7", 29831, {"alpha", "beta"}, {"ann", "bob"}};

TEST(AnnouncerTextTest, NotifyAndByeByeFollowTheReadingRules) {
  const std::string notify = NotifyText(kAnnouncement);
  EXPECT_EQ(discovery::ClassifyDatagram(notify), discovery::DatagramKind::kNotify);
  const auto fields = discovery::ReadNotify("10.0.0.5", notify);
  ASSERT_TRUE(fields.has_value());
  EXPECT_EQ(fields->serverId, "dir-7");
  EXPECT_EQ(fields->port, 29831);
  EXPECT_EQ(fields->aliases,
            (std::set<std::string>{"10.0.0.5:29831", "alpha:29831", "beta:29831"}));
  EXPECT_EQ(fields->users, (std::set<std::string>{"ann", "bob"}));

  const auto bare = discovery::ReadNotify("10.0.0.5", NotifyText({"d", 29831, {}, {}}));
  ASSERT_TRUE(bare.has_value());
  EXPECT_TRUE(bare->users.empty());

  const std::string byebye = ByeByeText("dir-7");
  EXPECT_EQ(discovery::ClassifyDatagram(byebye), discovery::DatagramKind::kByeBye);
  EXPECT_EQ(discovery::ReadByeBye(byebye), "dir-7");

  EXPECT_TRUE(IsSearch(discovery::kSearchDatagram));
  EXPECT_FALSE(IsSearch(NotifyText(kAnnouncement)));
}

// A discovery-port socket in the group, as a satellite's client has one.
class GroupListener {
 public:
  GroupListener() : socket_(discovery::OpenDiscoverySocket()) {
    std::vector<IPv4Address> interfaces;
    GetLocalAddresses(interfaces);
    discovery::JoinGroup(socket_, discovery::ReadMulticastGroup(), interfaces);
  }
  ~GroupListener() {
    if (socket_ != INVALID_SOCKET) ::close(socket_);
  }
  bool ok() const { return socket_ != INVALID_SOCKET; }

  // The next datagram of that kind within the time-out, skipping others.
  bool Await(discovery::DatagramKind kind, milliseconds timeout, std::string* text = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now())
              .count();
      if (left <= 0) return false;
      pollfd watched{socket_, POLLIN, 0};
      if (::poll(&watched, 1, static_cast<int>(left)) <= 0) continue;
      char buffer[discovery::kMaxDatagramSize];
      IPv4Address source = 0;
      int error = 0;
      const long size = discovery::ReceiveDatagram(socket_, buffer, sizeof buffer, &source, &error);
      if (size <= 0) continue;
      const std::string_view datagram = discovery::DatagramText(buffer, size);
      if (discovery::ClassifyDatagram(datagram) != kind) continue;
      if (text != nullptr) *text = datagram;
      return true;
    }
  }

  void SendSearch() {
    std::vector<IPv4Address> interfaces;
    GetLocalAddresses(interfaces);
    discovery::SendSearchOn(socket_, discovery::ReadMulticastGroup(), interfaces);
  }

 private:
  SOCKET socket_;
};

TEST(AnnouncerTest, AnnouncesAtStartEveryIntervalAndSaysByeBye) {
  GroupListener listener;
  ASSERT_TRUE(listener.ok());
  Announcer announcer(kAnnouncement, milliseconds(300));
  ASSERT_TRUE(announcer.Start());
  std::string text;
  ASSERT_TRUE(listener.Await(discovery::DatagramKind::kNotify, milliseconds(2000), &text));
  EXPECT_EQ(text, NotifyText(kAnnouncement));

  // The interval repeats it without being asked.
  ASSERT_TRUE(listener.Await(discovery::DatagramKind::kNotify, milliseconds(2000)));
  EXPECT_EQ(announcer.SearchesAnswered(), 0u);

  announcer.Stop();
  ASSERT_TRUE(listener.Await(discovery::DatagramKind::kByeBye, milliseconds(2000), &text));
  EXPECT_EQ(discovery::ReadByeBye(text), "dir-7");
  announcer.Stop();  // a second stop does nothing
}

TEST(AnnouncerTest, ASearchIsAnsweredAtOnceNotAtTheNextInterval) {
  GroupListener listener;
  Announcer announcer(kAnnouncement, std::chrono::hours(1));
  ASSERT_TRUE(announcer.Start());
  ASSERT_TRUE(listener.Await(discovery::DatagramKind::kNotify, milliseconds(2000)));
  listener.SendSearch();
  EXPECT_TRUE(listener.Await(discovery::DatagramKind::kNotify, milliseconds(2000)));
}

}  // namespace
}  // namespace kiv::directory

// The discovery client end to end, in a private network namespace: real
// datagrams on the group over loopback reach a real client and its
// KivDiscover listeners; SEARCH is counted by a second member of the group.
#include "discovery/discover_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/weak_ptr.hpp>
#include <cstdlib>
#include <memory>

#include "discovery/datagram.h"
#include "discovery/discovery_test_util.h"
#include "support/threads/test_util.h"
#include "support/time/time_limits.h"

namespace kiv::discoverytest {
namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

std::string Hostname(KivDiscover& discover, const char* serverId) {
  const char* host = discover.getHostname(serverId);
  if (host == nullptr) return "<null>";
  std::string copy(host);
  std::free(const_cast<char*>(host));
  return copy;
}

// A socket bound to the discovery port without sharing it; -1 if taken.
int BindDiscoveryPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(1901);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) return fd;
  ::close(fd);
  return -1;
}

class DiscoverClientTest : public ::testing::Test {
 protected:
  // Sends from the given source, then a BYEBYE of an unknown id from the
  // same socket, and waits for that one's report: datagrams of one socket
  // are handled in order, so the first one's handling has ended then.
  void SendAndWait(const std::string& datagram, const char* source = "127.0.0.1") {
    GroupPeer sender(0, source);
    const std::size_t before = reports_.Fences();
    ASSERT_TRUE(sender.Send(datagram));
    ASSERT_TRUE(sender.Send(ByeBye(StatusRecorder::kFence)));
    ASSERT_TRUE(WaitUntil([&] { return reports_.Fences() > before; })) << datagram;
  }

  GroupRegistry registry_{std::nullopt};
  StatusRecorder reports_;
};

TEST_F(DiscoverClientTest, StartsWithSearchTwiceOnLoopbackTenMillisecondsApart) {
  GroupPeer peer(1901);
  RecordingDiscover discover;
  std::string first, second;
  std::chrono::nanoseconds firstAt, secondAt;
  ASSERT_TRUE(peer.Receive(first, 2000, &firstAt));
  ASSERT_TRUE(peer.Receive(second, 2000, &secondAt));
  EXPECT_EQ(first, discovery::kSearchDatagram);
  EXPECT_EQ(second, discovery::kSearchDatagram);
  EXPECT_GE(secondAt - firstAt, std::chrono::milliseconds(9));
  EXPECT_EQ(peer.CountSearches(300), 0);
  auto client = GetDiscoverClient();
  EXPECT_TRUE(client->Bound());
  EXPECT_EQ(client->Interfaces(), std::vector<IPv4Address>{::inet_addr("127.0.0.1")});
  EXPECT_EQ(client->Group(), ::inet_addr("239.255.255.251"));
}

TEST_F(DiscoverClientTest, FollowsDirectoriesAndMovesUsersBetweenThem) {
  RecordingDiscover discover;
  SendAndWait(Notify("dir1", 29831, "host1, host2", "alice,bob"));
  EXPECT_EQ(discover.Events(), (Lines{"up dir1 [alice,bob]"}));
  EXPECT_EQ(reports_.Reports(), (Lines{"dir1 ALIVE", "dir1 ALIVE"}));
  EXPECT_EQ(Hostname(discover, "dir1"), "127.0.0.1:29831");
  EXPECT_EQ(Hostname(discover, "dir2"), "<null>");
  EXPECT_EQ(Hostname(discover, nullptr), "<null>");

  // The same NOTIFY again: only the engine hears of it.
  SendAndWait(Notify("dir1", 29831, "host1", "bob,alice"));
  EXPECT_EQ(discover.Events().size(), 1u);

  discover.Clear();
  SendAndWait(Notify("dir2", 29832, "h", "carol alice"));
  SendAndWait(Notify("dir1", 29831, "h", "bob,dave"));
  SendAndWait(Notify("dir1", 29831, "h", "dave"));
  SendAndWait(Notify("dir3", 1, "", ""));
  EXPECT_EQ(discover.Events(), (Lines{"remove dir1 [alice]", "up dir2 [alice,carol]",
                                      "add dir1 [dave]", "remove dir1 [bob]", "up dir3 []"}));
  EXPECT_TRUE(GetDiscoverClient()->TablesConsistent());
}

TEST_F(DiscoverClientTest, ByeByeAndHostChangeTakeDirectoriesDown) {
  RecordingDiscover discover;
  SendAndWait(Notify("dir1", 29831, "h", "alice"));
  SendAndWait(Notify("dir2", 29832, "h", "bob"));
  SendAndWait(Notify("empty", 1, "h", ""));
  discover.Clear();
  reports_.Clear();

  SendAndWait(ByeBye("empty"));
  SendAndWait(ByeBye(" dir2 "));
  SendAndWait(ByeBye("never-seen"));
  EXPECT_EQ(discover.Events(), (Lines{"down dir2 [bob] shutdown"}));
  EXPECT_EQ(reports_.Reports(),
            (Lines{"empty SHUTDOWN", "dir2 SHUTDOWN", "dir2 SHUTDOWN", "never-seen SHUTDOWN"}));

  // Announced from an address it did not list before: down, then up anew.
  discover.Clear();
  reports_.Clear();
  SendAndWait(Notify("dir1", 29831, "h", "alice,bob"), "127.0.0.2");
  EXPECT_EQ(discover.Events(), (Lines{"down dir1 [alice]", "up dir1 [alice,bob]"}));
  EXPECT_EQ(reports_.Reports(), (Lines{"dir1 DEAD", "dir1 ALIVE", "dir1 ALIVE"}));
  EXPECT_EQ(Hostname(discover, "dir1"), "127.0.0.2:29831");
}

TEST_F(DiscoverClientTest, IgnoresWhatItCannotReadAndLogsWhatItDrops) {
  LogCapture log;
  {
    RecordingDiscover discover;
    GroupPeer sender;
    const std::string valid = Notify("dir1", 1, "h", "alice");
    ASSERT_TRUE(sender.Send(std::string(discovery::kSearchDatagram)));
    ASSERT_TRUE(sender.Send(valid.substr(0, valid.size() - 4)));  // no CR LF after Users
    std::string nul = valid;
    nul[nul.find("Users")] = '\0';
    ASSERT_TRUE(sender.Send(nul));
    ASSERT_TRUE(sender.Send(""));
    std::string oversized = Notify("big", 1, "h", "alice");
    ASSERT_TRUE(sender.Send(oversized + std::string(8193 - oversized.size(), 'x')));
    // At the limit a datagram is still read.
    SendAndWait(oversized + std::string(8192 - oversized.size(), 'x'));
    EXPECT_EQ(reports_.Reports(), (Lines{"big ALIVE", "big ALIVE"}));
    EXPECT_EQ(discover.Events(), (Lines{"up big [alice]"}));
    SendAndWait(Notify("big", 1, "h", "alice"), "127.0.0.3");  // a host change
  }
  const std::string text = log.Finish();
  const auto has = [&](const std::string& line) { return text.find(line) != std::string::npos; };
  EXPECT_TRUE(has("[DEBUG] - ProcessNotify: no data\n")) << text;
  EXPECT_TRUE(has("[DEBUG] - ProcessNotify: failed data: 90\n")) << text;  // EMSGSIZE
  EXPECT_TRUE(has("[DEBUG] - directory big (127.0.0.3:1) changed hostname (127.0.0.1:1)\n"));
  EXPECT_TRUE(has("[DEBUG] - DiscoverClient thread done\n"));
  EXPECT_FALSE(has("SEARCH"));
  EXPECT_FALSE(has("WARN"));
}

TEST_F(DiscoverClientTest, AFullTableTellsNoListenerOfNewcomersAndKeepsTheKnownOnesCurrent) {
  const auto client = GetDiscoverClient();
  for (std::size_t i = 0; i < discovery::kMaxDirectories; ++i) {
    ASSERT_TRUE(client->ParseNotify("10.9.0.1", Notify("fill" + std::to_string(i), 1, "h", "")));
  }
  RecordingDiscover discover;
  EXPECT_TRUE(client->ParseNotify("10.9.0.2", Notify("newcomer", 1, "h", "zoe")));
  EXPECT_TRUE(client->ParseNotify("10.9.0.1", Notify("fill1", 1, "h", "alice")));
  EXPECT_EQ(discover.Events(), (Lines{"add fill1 [alice]"}));
  EXPECT_EQ(Hostname(discover, "newcomer"), "<null>");
  EXPECT_EQ(client->DirectoryCount(), discovery::kMaxDirectories);
  EXPECT_EQ(client->UserCount(), 1u);
  EXPECT_TRUE(client->TablesConsistent());
}

TEST_F(DiscoverClientTest, DropsDirectoriesSilentForMoreThan41Seconds) {
  FakeWallClock clock(1000);
  RecordingDiscover discover;
  auto client = GetDiscoverClient();
  SendAndWait(Notify("a", 1, "h", "x"));
  SendAndWait(Notify("quiet", 3, "h", ""));
  clock.Set(1001);
  SendAndWait(Notify("b", 2, "h", "y"));
  discover.Clear();
  reports_.Clear();

  // 42 seconds after "a" and "quiet", 41 after "b".
  clock.Set(1042);
  ASSERT_TRUE(WaitUntil([&] { return client->PeriodicRuns() == 1; }));
  EXPECT_EQ(discover.Events(), (Lines{"down a [x]"}));
  EXPECT_EQ(reports_.Reports(), (Lines{"a DEAD", "a DEAD", "quiet DEAD"}));
  EXPECT_EQ(Hostname(discover, "b"), "127.0.0.1:2");

  // A touch counts as hearing from it.
  clock.Set(1044);
  client->TouchDirectory("b");
  client->TouchDirectory("a");
  clock.Set(1046);
  ASSERT_TRUE(WaitUntil([&] { return client->PeriodicRuns() == 2; }));
  EXPECT_EQ(discover.Events().size(), 1u);
  clock.Set(1086);
  ASSERT_EQ(discover.WaitForEvents(2), (Lines{"down a [x]", "down b [y]"}));
  EXPECT_EQ(Hostname(discover, "b"), "<null>");
}

TEST_F(DiscoverClientTest, WaitForUserFindsAUserOrSearchesOnceAnIntervalUntil404) {
  GroupPeer peer(1901);
  RecordingDiscover discover;
  auto client = GetDiscoverClient();
  ASSERT_EQ(peer.CountSearches(300), 2);  // the thread's first SEARCH

  SendAndWait(Notify("dir1", 29831, "h", "alice"));
  std::u16string host;
  EXPECT_EQ(client->WaitForUser(u"alice", 1000, host), KivDiscoverClient::kUserFound);
  EXPECT_EQ(host, u"127.0.0.1:29831");
  EXPECT_EQ(peer.CountSearches(300), 0);  // found at once: nothing asked

  // A user announced while the wait runs is found by it.
  int result = -1;
  {
    TestThread waiter([&] { result = client->WaitForUser(u"bob", 5000, host); });
    std::string datagram;
    while (datagram != discovery::kSearchDatagram) ASSERT_TRUE(peer.Receive(datagram, 2000));
    SendAndWait(Notify("dir2", 29832, "h", "bob"));
  }
  EXPECT_EQ(result, KivDiscoverClient::kUserFound);
  EXPECT_EQ(host, u"127.0.0.1:29832");
  peer.CountSearches(300);

  // The search interval, shortened through the time seam: a wait of 2.5
  // intervals asks at 0, 1 and 2 intervals.
  const ScopedLimitForTesting interval(TimeLimit::kSearchInterval, 300);
  host = u"untouched";
  int missed = -1;
  Clock::duration elapsed{};
  // Arrival times are taken while the wait runs, by this thread.
  std::vector<std::chrono::nanoseconds> arrivals;
  {
    TestThread waiter([&] {
      const auto started = Clock::now();
      missed = client->WaitForUser(u"nobody", 750, host);
      elapsed = Clock::now() - started;
    });
    std::string datagram;
    std::chrono::nanoseconds at;
    while (peer.Receive(datagram, 600, &at)) {
      if (datagram == discovery::kSearchDatagram) arrivals.push_back(at);
    }
  }
  EXPECT_EQ(missed, KivDiscoverClient::kUserNotFound);
  EXPECT_EQ(host, u"untouched");
  EXPECT_GE(elapsed, std::chrono::milliseconds(750));
  EXPECT_LT(elapsed, std::chrono::milliseconds(1250));
  ASSERT_EQ(arrivals.size(), 6u);
  for (std::size_t round = 0; round < 3; ++round) {
    EXPECT_GE(arrivals[2 * round + 1] - arrivals[2 * round], std::chrono::milliseconds(9));
    if (round == 0) continue;
    EXPECT_GE(arrivals[2 * round] - arrivals[2 * round - 2], std::chrono::milliseconds(290));
    EXPECT_LT(arrivals[2 * round] - arrivals[2 * round - 2], std::chrono::milliseconds(600));
  }
}

// Copies are listeners of their own; its counter is shared by the copies.
class CountingDiscover : public KivDiscover {
 public:
  int OnKivDirectoryUp(const char*, const char* const*, unsigned) override {
    ++*ups;
    return 0;
  }
  std::shared_ptr<std::atomic<int>> ups = std::make_shared<std::atomic<int>>(0);
};

TEST_F(DiscoverClientTest, ListenersShareOneClientThatStopsWithTheLast) {
  boost::weak_ptr<KivDiscoverClient> watched;
  {
    auto first = std::make_unique<RecordingDiscover>();
    RecordingDiscover second;
    watched = GetDiscoverClient();
    SendAndWait(Notify("dir1", 1, "h", "alice"));
    EXPECT_EQ(first->Events(), (Lines{"up dir1 [alice]"}));
    EXPECT_EQ(second.Events(), (Lines{"up dir1 [alice]"}));

    first.reset();
    EXPECT_FALSE(watched.expired());
    SendAndWait(Notify("dir2", 1, "h", ""));
    EXPECT_EQ(second.Events().size(), 2u);

    auto original = std::make_unique<CountingDiscover>();
    CountingDiscover copy(*original);
    copy = *original;
    original.reset();
    SendAndWait(Notify("dir3", 1, "h", ""));
    EXPECT_EQ(*copy.ups, 1);
    CountingDiscover another(copy);
    SendAndWait(Notify("dir4", 1, "h", ""));
    EXPECT_EQ(*copy.ups, 3);
  }
  EXPECT_TRUE(watched.expired());
  // The socket is closed: port 1901 can be taken without sharing it.
  const int fd = BindDiscoveryPort();
  EXPECT_GE(fd, 0);
  if (fd >= 0) ::close(fd);

  // A later client starts afresh, with empty tables.
  RecordingDiscover fresh;
  EXPECT_EQ(Hostname(fresh, "dir1"), "<null>");
}

TEST_F(DiscoverClientTest, WithoutItsPortKeepsPacingAndNeverFindsAUser) {
  LogCapture log;
  const int blocker = BindDiscoveryPort();
  ASSERT_GE(blocker, 0);
  {
    RecordingDiscover discover;
    auto client = GetDiscoverClient();
    EXPECT_FALSE(client->Bound());
    const std::uint64_t turns = client->LoopTurns();
    std::u16string host;
    const auto started = Clock::now();
    EXPECT_EQ(client->WaitForUser(u"alice", 600, host), KivDiscoverClient::kUserNotFound);
    const auto elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    // One turn per 50 ms wait: a spinning loop would turn thousands of times.
    const auto made = static_cast<long long>(client->LoopTurns() - turns);
    EXPECT_GE(made, elapsedMs / 100);  // a loaded machine may stretch the waits
    EXPECT_LE(made, elapsedMs / 50 + 2);
    EXPECT_TRUE(discover.Events().empty());
  }
  ::close(blocker);
  const std::string text = log.Finish();
  EXPECT_NE(text.find("[WARN ] - Failed to bind discovery socket\n"), std::string::npos) << text;
}

TEST(DiscoverClientGroup, IsReadFromTheConfigurationAndJoined) {
  {
    GroupRegistry unusable("255.255.255.255");
    EXPECT_EQ(GetDiscoverClient()->Group(), ::inet_addr("239.255.255.251"));
  }
  GroupRegistry registry("239.1.2.3");
  StatusRecorder reports;
  RecordingDiscover discover;
  EXPECT_EQ(GetDiscoverClient()->Group(), ::inet_addr("239.1.2.3"));
  GroupPeer sender;
  ASSERT_TRUE(sender.Send(Notify("dir1", 1, "h", ""), "239.1.2.3"));
  EXPECT_EQ(discover.WaitForEvents(1), (Lines{"up dir1 []"}));
}

TEST(DiscoverClientInterfaces, ANewInterfaceIsFoundWithinFourSecondsAndSearchedOn) {
  GroupRegistry registry(std::nullopt);
  FakeWallClock clock(1000);
  GroupPeer peer(1901);
  RecordingDiscover discover;
  auto client = GetDiscoverClient();
  ASSERT_EQ(peer.CountSearches(300), 2);
  if (std::system("ip link add kivdisc0 type veth peer name kivdisc1 && "
                  "ip addr add 10.9.8.7/24 dev kivdisc0 && ip link set kivdisc0 up && "
                  "ip link set kivdisc1 up") != 0) {
    GTEST_SKIP() << "cannot add an interface here";
  }
  clock.Set(1003);
  EXPECT_EQ(peer.CountSearches(300), 0);
  clock.Set(1004);
  ASSERT_TRUE(WaitUntil([&] { return client->PeriodicRuns() == 1; }));
  EXPECT_EQ(client->Interfaces(),
            (std::vector<IPv4Address>{::inet_addr("127.0.0.1"), ::inet_addr("10.9.8.7")}));
  // The loopback pair reaches us; the other interface's pair goes out there.
  EXPECT_EQ(peer.CountSearches(300), 2);
  clock.Set(1008);
  ASSERT_TRUE(WaitUntil([&] { return client->PeriodicRuns() == 2; }));
  EXPECT_EQ(peer.CountSearches(300), 0);
  std::system("ip link del kivdisc0");
}

}  // namespace
}  // namespace kiv::discoverytest

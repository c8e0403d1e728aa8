// The discovery client with real datagrams on the group over loopback, its
// KivDiscover listeners and its reports to the engine.
#include "discovery/discover_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "discovery/datagram.h"
#include "kiv/discover.h"
#include "support/registry/registry_test_util.h"
#include "testing/fake_clock.h"
#include "testing/group_peer.h"
#include "testing/wait.h"

namespace kiv::discoverytest {
namespace {

using kiv::testing::FakeWallClock;
using kiv::testing::WaitUntil;
using Lines = std::vector<std::string>;

// Lines such as "up dir1 [alice,bob]" or "down dir1 [] shutdown" for
// callbacks and "dir1 ALIVE" for reports to the engine, in one timeline. One
// at a time: it takes the process's report hook.
class Recorder : public KivDiscover {
 public:
  Recorder() : previous_(discovery::ReplaceDirectoryStatusReportForTesting(&Report)) {
    Take();
    // Registered again once built, so no callback meets a half-built object.
    GetDiscoverClient()->AddListener(this);
  }
  ~Recorder() override {
    GetDiscoverClient()->RemoveListener(this);
    discovery::ReplaceDirectoryStatusReportForTesting(previous_);
  }

  int OnKivDirectoryUp(const char* id, const char* const* users, unsigned count) override {
    return Add("up " + Text(id, users, count));
  }
  int OnKivDirectoryDown(const char* id, const char* const* users, unsigned count,
                         bool shutdown) override {
    return Add("down " + Text(id, users, count) + (shutdown ? " shutdown" : ""));
  }
  // Every line so far, and forgets them.
  static Lines Take() {
    PScopedLock lock(&lock_);
    return std::move(lines_);
  }
  static std::size_t Count() {
    PScopedLock lock(&lock_);
    return lines_.size();
  }
  // The directory's address as getHostname answers it, "<null>" for none.
  std::string Host(const char* serverId) {
    const char* host = getHostname(serverId);
    const std::string copy = host != nullptr ? host : "<null>";
    std::free(const_cast<char*>(host));
    return copy;
  }

 private:
  static int Add(std::string line) {
    PScopedLock lock(&lock_);
    lines_.push_back(std::move(line));
    return 0;
  }
  static void Report(const char* id, std::int32_t status) {
    static const char* const kNames[] = {"OTHER", "ALIVE", "DEAD", "SHUTDOWN"};
    Add(std::string(id) + " " + kNames[status >= 1 && status <= 3 ? status : 0]);
  }
  static std::string Text(const char* id, const char* const* users, unsigned count) {
    std::string text = std::string(id) + " [";
    for (unsigned i = 0; i < count; ++i) text += (i > 0 ? "," : "") + std::string(users[i]);
    return text + "]";
  }

  static inline PMutex lock_{false};
  static inline Lines lines_;
  const discovery::DirectoryStatusReport previous_;
};

// Over the network, on the group the store names: what cannot be read, or
// is longer than the limit, is dropped; one socket's datagrams keep their order.
TEST(DiscoverClient, ReceivesDatagramsOnTheConfiguredGroupUpToTheSizeLimit) {
  TempRegistry registry;
  registry.Write(
      "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\ZIB "
      "Networks\\Zib\\Config]\n\"kiv.multicastGroup\"=\"239.1.2.3\"\n");
  Recorder recorder;
  EXPECT_EQ(GetDiscoverClient()->Group(), ::inet_addr("239.1.2.3"));
  const std::string valid = Notify("dir1", 1, "h", "alice");
  std::string nul = valid;
  nul[nul.find("Users")] = '\0';
  const std::string big = Notify("big", 1, "h", "alice");
  GroupPeer sender;
  for (const std::string& datagram :
       {std::string(discovery::kSearchDatagram), valid.substr(0, valid.size() - 4), nul,
        std::string(), big + std::string(discovery::kMaxDatagramSize + 1 - big.size(), 'x'),
        big + std::string(discovery::kMaxDatagramSize - big.size(), 'x')}) {
    ASSERT_TRUE(sender.Send(datagram, "239.1.2.3"));
  }
  // The engine's report follows the listeners', so the host alone is not enough.
  ASSERT_TRUE(WaitUntil([&] { return Recorder::Count() >= 3; }));
  EXPECT_EQ(recorder.Host("big"), "127.0.0.1:1");
  EXPECT_EQ(recorder.Take(), (Lines{"big ALIVE", "up big [alice]", "big ALIVE"}));
}

// Datagrams from outside AllowedPeers are ignored, as connections are:
// without it anyone who reaches the group could speak for a directory.
TEST(DiscoverClient, TakesDatagramsOnlyFromAllowedPeers) {
  for (const char* allowed : {"10.0.0.0/8", "127.0.0.0/8"}) {
    TempRegistry registry;
    registry.WriteSettings("\"AllowedPeers\"=\"" + std::string(allowed) + "\"");
    Recorder recorder;
    GroupPeer sender;
    ASSERT_TRUE(sender.Send(Notify("dir1", 1, "h", "alice")));
    ASSERT_TRUE(sender.Send(Notify("dir2", 1, "h", "bob")));
    const bool taken = std::string(allowed) == "127.0.0.0/8";
    // A datagram wakes the client at once: 300 ms without dir2 means it
    // was ignored.
    WaitUntil([&] { return recorder.Host("dir2") != "<null>"; }, taken ? 5000 : 300);
    EXPECT_EQ(recorder.Host("dir2") != "<null>", taken) << allowed;
    EXPECT_EQ(recorder.Host("dir1") != "<null>", taken) << allowed;
  }
}

// On a test clock: SEARCH twice at start, then every 4 seconds a SEARCH on
// new interfaces and the end of directories silent for more than 41 seconds.
TEST(DiscoverClient, SearchesAtStartAndOnNewInterfacesAndDropsSilentDirectories) {
  TempRegistry registry;
  FakeWallClock clock(1000);
  GroupPeer peer(1901);
  Recorder recorder;
  auto client = GetDiscoverClient();
  std::string first, second;
  std::chrono::nanoseconds firstAt, secondAt;
  ASSERT_TRUE(peer.Receive(first, 2000, &firstAt) && peer.Receive(second, 2000, &secondAt));
  EXPECT_EQ(first, discovery::kSearchDatagram);
  EXPECT_EQ(second, discovery::kSearchDatagram);
  EXPECT_GE(secondAt - firstAt, std::chrono::milliseconds(9));
  EXPECT_EQ(client->Interfaces(), std::vector<IPv4Address>{::inet_addr("127.0.0.1")});
  // The loop has taken its start time once it turns; only then may the clock move.
  ASSERT_TRUE(WaitUntil([&] { return client->LoopTurns() > 0; }));
  client->ParseNotify("127.0.0.1", Notify("a", 1, "h", "x"));
  client->ParseNotify("127.0.0.1", Notify("b", 2, "h", "y"));
  client->ParseNotify("127.0.0.1", Notify("quiet", 3, "h", ""));
  clock.Set(1001);
  client->TouchDirectory("b");
  // Without the right to add an interface, only that part goes unchecked.
  const bool added = std::system(
                         "ip link add kivdisc0 type veth peer name kivdisc1 && "
                         "ip addr add 10.9.8.7/24 dev kivdisc0 && "
                         "ip link set kivdisc0 up && ip link set kivdisc1 up") == 0;
  clock.Set(1003);
  EXPECT_EQ(peer.CountSearches(300), 0);
  clock.Set(1004);
  ASSERT_TRUE(WaitUntil([&] { return client->PeriodicRuns() == 1; }));
  if (added) {
    EXPECT_EQ(client->Interfaces(),
              (std::vector<IPv4Address>{::inet_addr("127.0.0.1"), ::inet_addr("10.9.8.7")}));
    EXPECT_EQ(peer.CountSearches(300), 2);  // a pair on each interface: loopback's reaches us
  }
  recorder.Take();

  clock.Set(1042);  // 42 seconds after "a" and "quiet", 41 after the touch of "b"
  ASSERT_TRUE(WaitUntil([&] { return client->PeriodicRuns() == 2; }));
  EXPECT_EQ(recorder.Take(), (Lines{"a DEAD", "down a [x]", "a DEAD", "quiet DEAD"}));
  EXPECT_EQ(peer.CountSearches(300), 0);  // the interfaces are as they were
  clock.Set(1046);
  ASSERT_TRUE(WaitUntil([&] { return client->PeriodicRuns() == 3; }));
  EXPECT_EQ(recorder.Take(), (Lines{"b DEAD", "down b [y]", "b DEAD"}));
  EXPECT_EQ(recorder.Host("b"), "<null>");
  if (added) std::system("ip link del kivdisc0");
}

}  // namespace
}  // namespace kiv::discoverytest

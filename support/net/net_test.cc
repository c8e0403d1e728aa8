// Socket options, connecting, resolution and this machine's names and
// interfaces. The binary runs in a network namespace holding only loopback:
// no other interface, no default route, and names outside /etc/hosts fail
// to resolve at once.
#include "support/net/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/log/cbblog.h"
#include "support/net/cidr.h"
#include "support/net/net_test_util.h"
#include "testing/log_capture.h"
#include "testing/wait.h"

namespace kiv {
namespace {

using nettest::Address;
using nettest::LoopbackPort;

int IntOption(SOCKET socket, int level, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  return ::getsockopt(socket, level, name, &value, &size) == 0 ? value : -1;
}

TEST(SocketOptions, TimeoutsRoundTripAndKeepAliveProbesAfter15Seconds) {
  ScopedSocket socket(::socket(AF_INET, SOCK_STREAM, 0));
  // Multiples of 20 ms survive every kernel clock rate unrounded.
  EXPECT_EQ(SetSendTimeout(socket.get(), 1500), 0);
  EXPECT_EQ(SetRecvTimeout(socket.get(), 200), 0);
  EXPECT_EQ(GetSendTimeout(socket.get()), 1500);
  EXPECT_EQ(GetRecvTimeout(socket.get()), 200);
  EXPECT_EQ(SetSendTimeout(socket.get(), -5), -1);
  EXPECT_EQ(GetSendTimeout(socket.get()), 1500) << "a refused value changes nothing";

  EXPECT_EQ(EnableKeepAlive(socket.get()), 0);
  EXPECT_EQ(IntOption(socket.get(), SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(IntOption(socket.get(), IPPROTO_TCP, TCP_KEEPIDLE), 15);
  EXPECT_EQ(IntOption(socket.get(), IPPROTO_TCP, TCP_KEEPINTVL), 1);
}

TEST(ConnectWithTimeout, AnswersABlockingSocketWithTheFreshTimeoutsRestored) {
  LoopbackPort server;
  for (const char* host : {"127.0.0.1", "localhost"}) {
    ScopedSocket client(ConnectWithTimeout(host, server.port(), 3000));
    ASSERT_TRUE(client.valid()) << host;
    ScopedSocket accepted(server.Accept());
    EXPECT_TRUE(accepted.valid()) << host;
    EXPECT_EQ(::fcntl(client.get(), F_GETFL) & O_NONBLOCK, 0) << host;
    EXPECT_EQ(GetSendTimeout(client.get()), 0) << host;
    EXPECT_EQ(GetRecvTimeout(client.get()), 0) << host;
    EXPECT_EQ(GetPeerAddress(client.get()), "127.0.0.1");
  }
  ScopedSocket unconnected(::socket(AF_INET, SOCK_STREAM, 0));
  EXPECT_EQ(GetPeerAddress(unconnected.get()), "0.0.0.0");
}

std::string CongestionControl(SOCKET socket) {
  char name[16] = {};
  socklen_t size = sizeof name;
  return ::getsockopt(socket, IPPROTO_TCP, TCP_CONGESTION, name, &size) == 0 ? name : "";
}

TEST(SocketOptions, OnlyConnectionsWithinTheMachineLeaveAPacingCongestionControl) {
  const auto ip = [](const char* dotted) { return ::inet_addr(dotted); };
  EXPECT_TRUE(IsSameMachinePeer(ip("10.1.2.3"), ip("127.0.0.1")));
  EXPECT_TRUE(IsSameMachinePeer(ip("10.1.2.3"), ip("127.255.0.9")));
  EXPECT_TRUE(IsSameMachinePeer(ip("10.1.2.3"), ip("10.1.2.3")));
  EXPECT_FALSE(IsSameMachinePeer(ip("10.1.2.3"), ip("10.1.2.4")));
  EXPECT_FALSE(IsSameMachinePeer(ip("127.0.0.1"), ip("128.0.0.1")));

  LoopbackPort server;
  ScopedSocket client(ConnectWithTimeout("127.0.0.1", server.port(), 3000));
  ASSERT_TRUE(client.valid());
  ASSERT_EQ(::setsockopt(client.get(), IPPROTO_TCP, TCP_CONGESTION, "reno", 4), 0);
  EXPECT_TRUE(PreferUnpacedOnLocalConnection(client.get()));
  EXPECT_EQ(CongestionControl(client.get()), "cubic");
  ScopedSocket unconnected(::socket(AF_INET, SOCK_STREAM, 0));
  EXPECT_FALSE(PreferUnpacedOnLocalConnection(unconnected.get()));
}

TEST(ConnectWithTimeout, FailsFastOnARefusedPortAndLogsAnUnresolvableHost) {
  LoopbackPort closed(/*listen=*/false);
  ASSERT_NE(closed.port(), 0);
  EXPECT_LT(testing::ElapsedMillis([&] {
              EXPECT_EQ(ConnectWithTimeout("127.0.0.1", closed.port(), 500), INVALID_SOCKET);
            }),
            1500);
  testing::LogCapture log;
  EXPECT_EQ(ConnectWithTimeout(std::string(300, 'a') + ".invalid", 7, 1000), INVALID_SOCKET);
  EXPECT_EQ(log.Count(LOG_WARN, "Failed to connect to " + std::string(256, 'a') +
                                    ":7 , could not resolve hostname"),
            1);
}

TEST(NetworkList, ParsesStrictCidrListsAndMatchesAtThePrefixBoundaries) {
  const auto allows = [](const std::string& list, const char* address) {
    const auto networks = ParseNetworkList(list);
    return networks && NetworkListAllows(*networks, ::inet_addr(address));
  };
  EXPECT_TRUE(allows("", "203.0.113.9") && allows("0.0.0.0/0", "255.255.255.255"));
  EXPECT_TRUE(allows("10.1.0.0/16", "10.1.255.255") && allows("192.0.2.6/31", "192.0.2.7"));
  EXPECT_TRUE(allows(" 127.0.0.0/8 , 192.0.2.7", "192.0.2.7")) << "a bare address is its /32";
  EXPECT_FALSE(allows("0.0.0.0/1", "128.0.0.0"));
  for (const char* outside : {"10.0.255.255", "10.2.0.0", "192.0.2.6", "192.0.2.8"}) {
    EXPECT_FALSE(allows("10.1.0.0/16,192.0.2.7/32", outside)) << outside;
  }
  for (const char* bad : {"10.0.0.0/33", "10.0.0/8", "10.0.0.0/", "10.0.0.0/08", "010.0.0.0/8",
                          "256.0.0.0/8", "10.0.0.0.0/8", "127.1", "a.b.c.d/8", "10.0.0.0/8,",
                          ",10.0.0.0/8", "10.0.0.0/8,,1.2.3.4", "10.0.0.0 /8", "-1.0.0.0/8"}) {
    EXPECT_FALSE(ParseNetworkList(bad)) << bad;
  }
  for (const auto& [list, expected] :
       {std::pair{"10.1.2.3/16",
                  "'10.1.2.3/16' has bits set past its /16 prefix (did you mean "
                  "10.1.0.0/16?)"},
        std::pair{"1.2.3.4,", "an empty entry (a comma too many)"}}) {
    std::string problem;
    EXPECT_FALSE(ParseNetworkList(list, &problem));
    EXPECT_EQ(problem, expected);
  }
}

TEST(ResolveHostAddress, AnswersTheFirstIPv4AddressOrAllOnes) {
  EXPECT_EQ(ResolveHostAddress(u"127.0.0.1"), Address("127.0.0.1"));
  EXPECT_EQ(ResolveHostAddress(u"localhost"), Address("127.0.0.1"));
  EXPECT_EQ(ResolveHostAddress(u"no-such-host.invalid"), kUnresolvedAddress);
}

TEST(LocalHost, IdentityNameIsTheHostNameCutTo15Characters) {
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  char address[kIdentityAddressCapacity] = "unchanged";
  char name[kIdentityNameCapacity] = "unchanged";
  EXPECT_EQ(GetLocalIdentity(address, name), 0);
  EXPECT_EQ(std::string(name), std::string(host).substr(0, 15));
  // The address is the host name's, when it resolves at all.
  const std::string hostAddress = GetLocalHostAddress();
  EXPECT_EQ(std::string(address), hostAddress.empty() ? "unchanged" : hostAddress);
}

TEST(LocalHost, LoopbackAloneIsListedAndRoutesWithA24BitMask) {
  std::vector<IPv4Address> list{Address("1.2.3.4")};
  GetLocalAddresses(list);
  EXPECT_EQ(list, std::vector<IPv4Address>{Address("127.0.0.1")});
  const auto loopback = std::make_pair(std::string("127.0.0.1"), std::string("255.255.255.0"));
  EXPECT_EQ(GetLocalInterfaceAddress("127.0.0.1"), loopback);
  EXPECT_EQ(GetLocalInterfaceAddress("127.0.0.2"), loopback);
}

// Failures leave empty texts and a DEBUG line with the errno value, the
// destination cut to 16 characters.
TEST(LocalHost, NoRouteGivesEmptyTextsAndADebugLine) {
  testing::LogCapture log;
  std::string address = "stale", mask = "stale";
  GetLocalInterfaceAddress("no-address-at-all-here", address, mask);
  EXPECT_EQ(address + mask, "");
  EXPECT_EQ(
      log.Count(LOG_DEBUG, "ERROR:Could not get best interface for no-address-at-al: err0 x16"), 1);
  EXPECT_EQ(GetDefaultMacAddress(), u"");
  EXPECT_EQ(GetLocalInterfaceAddress("0.0.0.0"), std::make_pair(std::string(), std::string()));
  EXPECT_EQ(log.Count(LOG_DEBUG, "ERROR:Could not get best interface for 0.0.0.0: err0 x65"), 2);
}

}  // namespace
}  // namespace kiv

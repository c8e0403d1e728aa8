// Socket options, connecting and resolution. The binary runs in a network
// namespace holding only loopback, so names outside /etc/hosts fail to
// resolve at once and nothing reaches a name server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "support/net/net.h"
#include "support/net/net_internal.h"
#include "support/net/net_test_util.h"

namespace kiv {
namespace {

using net_internal::ScopedSocket;
using nettest::LoopbackPort;

long long MillisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

int IntOption(SOCKET socket, int level, int name) {
  int value = -1;
  socklen_t size = sizeof value;
  return ::getsockopt(socket, level, name, &value, &size) == 0 ? value : -1;
}

TEST(SocketTimeouts, RoundTripInMillisecondsAndSeconds) {
  ScopedSocket socket(::socket(AF_INET, SOCK_STREAM, 0));
  EXPECT_EQ(GetSendTimeout(socket.get()), 0) << "a fresh socket waits for ever";
  EXPECT_EQ(GetRecvTimeout(socket.get()), 0);
  // Multiples of 20 ms survive every kernel clock rate unrounded.
  EXPECT_EQ(SetSendTimeout(socket.get(), 1500), 0);
  EXPECT_EQ(SetRecvTimeout(socket.get(), 200), 0);
  EXPECT_EQ(GetSendTimeout(socket.get()), 1500);
  EXPECT_EQ(GetRecvTimeout(socket.get()), 200);
  EXPECT_EQ(SetSendTimeoutSeconds(socket.get(), 3), 0);
  EXPECT_EQ(SetRecvTimeoutSeconds(socket.get(), 30), 0);
  EXPECT_EQ(GetSendTimeout(socket.get()), 3000);
  EXPECT_EQ(GetRecvTimeout(socket.get()), 30000);

  EXPECT_EQ(SetSendTimeout(socket.get(), -5), -1);
  EXPECT_EQ(GetSendTimeout(socket.get()), 3000) << "a refused value changes nothing";
  EXPECT_EQ(SetRecvTimeout(INVALID_SOCKET, 100), -1);
  EXPECT_EQ(GetSendTimeout(INVALID_SOCKET), -1);
  EXPECT_EQ(GetRecvTimeout(INVALID_SOCKET), -1);
}

TEST(SocketTimeouts, ReceiveOnSilentConnectionFailsAfterTheTimeout) {
  LoopbackPort server;
  ScopedSocket client(ConnectWithTimeout("127.0.0.1", server.port(), 1000));
  ASSERT_TRUE(client.valid());
  ScopedSocket accepted(server.Accept());
  ASSERT_TRUE(accepted.valid());
  ASSERT_EQ(SetRecvTimeout(client.get(), 200), 0);
  char byte;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(::recv(client.get(), &byte, 1, 0), -1);
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
  const long long waited = MillisSince(start);
  EXPECT_GE(waited, 180);
  EXPECT_LT(waited, 1000);
}

TEST(KeepAlive, ProbesAfter15SecondsThenEverySecond) {
  ScopedSocket socket(::socket(AF_INET, SOCK_STREAM, 0));
  EXPECT_EQ(EnableKeepAlive(socket.get()), 0);
  EXPECT_EQ(IntOption(socket.get(), SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(IntOption(socket.get(), IPPROTO_TCP, TCP_KEEPIDLE), 15);
  EXPECT_EQ(IntOption(socket.get(), IPPROTO_TCP, TCP_KEEPINTVL), 1);
  EXPECT_EQ(EnableKeepAlive(INVALID_SOCKET), -1);
}

TEST(ConnectWithTimeout, AnswersABlockingSocketWithItsTimeoutsRestored) {
  LoopbackPort server;
  for (const char* host : {"127.0.0.1", "localhost"}) {
    ScopedSocket client(ConnectWithTimeout(host, server.port(), 3000));
    ASSERT_TRUE(client.valid()) << host;
    ScopedSocket accepted(server.Accept());
    ASSERT_TRUE(accepted.valid()) << host;
    EXPECT_EQ(::fcntl(client.get(), F_GETFL) & O_NONBLOCK, 0) << host;
    EXPECT_EQ(GetSendTimeout(client.get()), 0) << host;
    EXPECT_EQ(GetRecvTimeout(client.get()), 0) << host;
    EXPECT_EQ(GetPeerAddress(client.get()), "127.0.0.1");
  }
  ScopedSocket unconnected(::socket(AF_INET, SOCK_STREAM, 0));
  EXPECT_EQ(GetPeerAddress(unconnected.get()), "0.0.0.0");
}

TEST(ConnectWithTimeout, RefusedPortFailsWithinTheTimeoutPlusOneSecond) {
  LoopbackPort closed(/*listen=*/false);
  ASSERT_NE(closed.port(), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ConnectWithTimeout("127.0.0.1", closed.port(), 500), INVALID_SOCKET);
  EXPECT_LT(MillisSince(start), 1500);
}

TEST(ConnectWithTimeout, UnresolvableHostLogsAWarningWithTheHostCutTo256) {
  nettest::LogCapture log;
  EXPECT_EQ(ConnectWithTimeout("no-such-host.invalid", 29831, 1000), INVALID_SOCKET);
  EXPECT_TRUE(log.Has(LOG_WARN,
                      u"Failed to connect to no-such-host.invalid:29831 , could not resolve "
                      u"hostname"));
  const std::string longHost = std::string(300, 'a') + ".invalid";
  EXPECT_EQ(ConnectWithTimeout(longHost, 7, 1000), INVALID_SOCKET);
  EXPECT_TRUE(log.Has(LOG_WARN, u"Failed to connect to " + std::u16string(256, u'a') +
                                    u":7 , could not resolve hostname"));
}

TEST(ResolveHostAddress, AnswersTheFirstIPv4AddressOrAllOnes) {
  EXPECT_EQ(ResolveHostAddress(u"127.0.0.1"), nettest::Address("127.0.0.1"));
  EXPECT_EQ(ResolveHostAddress(u"localhost"), nettest::Address("127.0.0.1"));
  EXPECT_EQ(ResolveHostAddress(u"no-such-host.invalid"), kUnresolvedAddress);
  EXPECT_EQ(ResolveHostAddress(u""), kUnresolvedAddress);
  EXPECT_EQ(DottedAddress(nettest::Address("10.0.1.5")), "10.0.1.5");
}

}  // namespace
}  // namespace kiv

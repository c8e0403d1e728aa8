#include "engine/wire/socket_stream.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "testing/raw_peer.h"

namespace {

// What the next sendmsg() calls on one descriptor do, in order: -1 fails, 0
// takes nothing, n sends at most n bytes. No real socket takes nothing, or
// fails half-way through a flush on demand.
int scriptedSocket = -1;
std::vector<ssize_t> script;

}  // namespace

// Stands in for the C library's sendmsg in this program; calls without a
// script go on to the system.
extern "C" ssize_t sendmsg(int fd, const msghdr* message, int flags) {
  std::string gathered;
  for (std::size_t i = 0; i < message->msg_iovlen; ++i) {
    gathered.append(static_cast<const char*>(message->msg_iov[i].iov_base),
                    message->msg_iov[i].iov_len);
  }
  std::size_t n = gathered.size();
  if (fd == scriptedSocket && !script.empty()) {
    const ssize_t next = script.front();
    script.erase(script.begin());
    if (next < 0) errno = EPIPE;
    if (next <= 0) return next;
    n = std::min(n, static_cast<std::size_t>(next));
  }
  return ::sendto(fd, gathered.data(), n, flags, nullptr, 0);
}

namespace kiv::testing {
namespace {

class SocketStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    writer_.reset(ends[0]);
    reader_.reset(ends[1]);
  }

  // What the reader end can take without waiting.
  std::string Received() {
    std::string bytes(1 << 16, '\0');
    const ssize_t n = ::recv(reader_.get(), bytes.data(), bytes.size(), MSG_DONTWAIT);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
  }

  Socket writer_, reader_;
};

TEST_F(SocketStreamTest, HalfTheCapacityWaitsForAFlushABiggerBlockGoesAtOnce) {
  SocketStream stream(writer_.get(), 100);
  const std::string half(50, 'h'), more(51, 'm');
  EXPECT_EQ(stream.Write(half.data(), 50), 50);
  EXPECT_EQ(stream.Write(half.data(), 50), 50);
  EXPECT_EQ(stream.used(), 100);
  EXPECT_EQ(Received(), "");
  EXPECT_EQ(stream.Write("x", 1), 1) << "a full buffer is flushed first";
  EXPECT_EQ(Received(), half + half);
  EXPECT_EQ(stream.Write(more.data(), 51), 51) << "flushes what waits, then goes by itself";
  EXPECT_EQ(stream.used(), 0);
  EXPECT_EQ(Received(), "x" + more);
  EXPECT_EQ(stream.Flush(), 0) << "nothing waits";
  EXPECT_EQ(stream.Write("y", 1), 1);
  EXPECT_EQ(stream.Detach(), writer_.get()) << "flushes and leaves the socket open";
  EXPECT_EQ(Received(), "y");
}

TEST_F(SocketStreamTest, FailedSendsKeepTheUnsentBytesAndRaiseNoSignal) {
  SocketStream stream(writer_.get(), 64);
  EXPECT_EQ(stream.Write("0123456789", 10), 10);
  scriptedSocket = writer_.get();
  script = {4, -1};
  EXPECT_EQ(stream.Flush(), -1);
  EXPECT_EQ(stream.used(), 6);
  script = {0};
  EXPECT_EQ(stream.Flush(), -1) << "a send that takes nothing fails the flush";
  script = {-1};
  const std::string block(40, 'b');
  EXPECT_EQ(stream.Write(block.data(), 40), -1) << "no block overtakes waiting bytes";
  EXPECT_EQ(stream.used(), 6);
  script = {3, -1};
  EXPECT_EQ(stream.Write(block.data(), 40), -1) << "nor when the waiting bytes went in part";
  EXPECT_EQ(stream.used(), 3);
  EXPECT_EQ(stream.Flush(), 3);
  script = {10, -1};
  EXPECT_EQ(stream.Write(block.data(), 40), 10) << "a block counts the bytes that went out";
  EXPECT_EQ(Received(), "0123456789" + block.substr(0, 10));
  script = {0};
  EXPECT_EQ(stream.Write(block.data(), 40), -1) << "nor a block that goes nowhere";
  script.clear();
  reader_.reset();  // EPIPE, and no SIGPIPE to end the program
  EXPECT_EQ(stream.Write("abc", 3), 3);
  EXPECT_EQ(stream.Flush(), -1);
  EXPECT_EQ(stream.used(), 3);
  SocketStream noBuffer(writer_.get(), 0), noSocket(INVALID_SOCKET, 64);
  EXPECT_EQ(noBuffer.Write("x", 1), 0);
  EXPECT_EQ(noBuffer.Flush(), 0);
  EXPECT_EQ(noSocket.Write("x", 1), -1);
  EXPECT_EQ(noSocket.Flush(), -1);
}

}  // namespace
}  // namespace kiv::testing

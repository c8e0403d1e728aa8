#include "engine/wire/socket_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <vector>

#include "engine/wire/wire_test_util.h"

namespace kiv {
namespace {

// Bytes the reader end can take without waiting.
std::size_t Pending(SOCKET socket) {
  std::vector<std::uint8_t> sink(1 << 16);
  std::size_t total = 0;
  for (;;) {
    const ssize_t n = ::recv(socket, sink.data(), sink.size(), MSG_DONTWAIT);
    if (n <= 0) return total;
    total += static_cast<std::size_t>(n);
  }
}

TEST(SocketStream, SmallWritesWaitForFlushLargeOnesGoAtOnce) {
  testing::SocketPair pair;
  SocketStream stream(pair.writer(), 16384);
  const std::vector<std::uint8_t> small(8000, 1), large(9000, 2);

  EXPECT_EQ(stream.Write(small.data(), 8000), 8000);
  EXPECT_EQ(stream.used(), 8000);
  EXPECT_EQ(Pending(pair.reader()), 0u);

  // A block above half the capacity flushes what waits, then bypasses the buffer.
  EXPECT_EQ(stream.Write(large.data(), 9000), 9000);
  EXPECT_EQ(stream.used(), 0);
  EXPECT_EQ(Pending(pair.reader()), 17000u);

  SocketStream fresh(pair.writer(), 16384);
  EXPECT_EQ(fresh.Write(large.data(), 9000), 9000);
  EXPECT_EQ(fresh.used(), 0);
  EXPECT_EQ(Pending(pair.reader()), 9000u);
}

TEST(SocketStream, AFullBufferIsFlushedBeforeAppending) {
  testing::SocketPair pair;
  SocketStream stream(pair.writer(), 100);
  const std::vector<std::uint8_t> chunk(50, 7);
  EXPECT_EQ(stream.Write(chunk.data(), 50), 50);
  EXPECT_EQ(stream.Write(chunk.data(), 50), 50);
  EXPECT_EQ(Pending(pair.reader()), 0u);
  EXPECT_EQ(stream.Write(chunk.data(), 1), 1);
  EXPECT_EQ(Pending(pair.reader()), 100u);
  EXPECT_EQ(stream.Flush(), 1);
  EXPECT_EQ(stream.Flush(), 0) << "nothing waits";
}

TEST(SocketStream, MissingBufferOrSocketRefusesWrites) {
  SocketStream noBuffer(INVALID_SOCKET, 0);
  const std::uint8_t byte = 0;
  EXPECT_EQ(noBuffer.Write(&byte, 1), 0);
  EXPECT_EQ(noBuffer.Flush(), 0);
  SocketStream noSocket(INVALID_SOCKET, 64);
  EXPECT_EQ(noSocket.Write(&byte, 1), -1);
  EXPECT_EQ(noSocket.Flush(), -1);
}

TEST(SocketStream, FailedFlushKeepsUnsentBytesAndRaisesNoSignal) {
  testing::SocketPair pair;
  ::shutdown(pair.reader(), SHUT_RDWR);
  SocketStream stream(pair.writer(), 64);
  const std::uint8_t bytes[10] = {};
  EXPECT_EQ(stream.Write(bytes, 10), 10);
  EXPECT_EQ(stream.Flush(), -1);
  EXPECT_EQ(stream.used(), 10);
  EXPECT_EQ(stream.Write(bytes, 60), -1) << "no room while bytes still wait";
}

TEST(SocketStream, DetachFlushesAndKeepsTheSocketOpenCloseClosesIt) {
  testing::SocketPair pair;
  const SOCKET duplicate = ::dup(pair.writer());
  {
    SocketStream stream(duplicate, 64);
    const std::uint8_t bytes[3] = {1, 2, 3};
    stream.Write(bytes, 3);
    EXPECT_EQ(stream.Detach(), duplicate);
    EXPECT_EQ(stream.socket(), INVALID_SOCKET);
  }
  EXPECT_EQ(Pending(pair.reader()), 3u);
  EXPECT_NE(::fcntl(duplicate, F_GETFD), -1) << "detached socket stays open";
  SocketStream owner(duplicate, 64);
  owner.Close();
  EXPECT_EQ(owner.capacity(), 0);
  EXPECT_EQ(::fcntl(duplicate, F_GETFD), -1) << "Close closes the socket";
}

}  // namespace
}  // namespace kiv

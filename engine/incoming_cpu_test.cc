// A worker follows a large message to the processor that received it and
// gets its own processors back afterwards.
#include "engine/incoming_cpu.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <thread>
#include <utility>

#include "testing/raw_peer.h"
#include "testing/wait.h"

namespace kiv::testing {
namespace {

cpu_set_t ThreadCpus() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  ::sched_getaffinity(0, sizeof cpus, &cpus);
  return cpus;
}

bool RunsOn(const cpu_set_t& cpus) {
  const cpu_set_t now = ThreadCpus();
  return CPU_EQUAL(&now, &cpus);
}

// A connected pair on loopback whose receiving end holds a few MiB unread.
std::pair<Socket, Socket> RoomyConnection() {
  Socket listener(::socket(AF_INET, SOCK_STREAM, 0));
  const int room = 4 << 20;
  ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  auto* any = reinterpret_cast<sockaddr*>(&address);
  if (::bind(listener.get(), any, sizeof address) != 0 || ::listen(listener.get(), 1) != 0 ||
      ::getsockname(listener.get(), any, &size) != 0) {
    return {};
  }
  Socket client(::socket(AF_INET, SOCK_STREAM, 0));
  if (::connect(client.get(), any, sizeof address) != 0) return {};
  return {std::move(client), Socket(::accept(listener.get(), nullptr, nullptr))};
}

// Sends `bytes` from a thread that runs on `cpu` only.
void SendFrom(int cpu, int fd, std::size_t bytes) {
  std::thread sender([&] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    ASSERT_EQ(::sched_setaffinity(0, sizeof one, &one), 0);
    ASSERT_TRUE(SendBytes(fd, Bytes(bytes, 7)));
  });
  sender.join();
}

TEST(IncomingCpuFollower, PinsToTheReceivingCpuForLargeMessagesOnlyAndGivesTheCpusBack) {
  const cpu_set_t own = ThreadCpus();
  if (CPU_COUNT(&own) < 2) GTEST_SKIP() << "needs two processors";
  int last = CPU_SETSIZE - 1;
  while (!CPU_ISSET(last, &own)) --last;
  auto [client, served] = RoomyConnection();
  ASSERT_TRUE(served.valid());
  const auto queued = [&](std::size_t bytes) {
    return WaitUntil([&] {
      int n = 0;
      return ::ioctl(served.get(), FIONREAD, &n) == 0 && static_cast<std::size_t>(n) >= bytes;
    });
  };
  {
    engine::IncomingCpuFollower follower;
    SendFrom(last, client.get(), engine::IncomingCpuFollower::kLargeQueuedBytes - 1);
    ASSERT_TRUE(queued(engine::IncomingCpuFollower::kLargeQueuedBytes - 1));
    follower.FollowLargeMessage(served.get());
    EXPECT_TRUE(RunsOn(own)) << "a small message moved the thread";
    SendFrom(last, client.get(), 1);
    ASSERT_TRUE(queued(engine::IncomingCpuFollower::kLargeQueuedBytes));
    follower.FollowLargeMessage(served.get());
    const cpu_set_t pinned = ThreadCpus();
    EXPECT_EQ(CPU_COUNT(&pinned), 1);
    EXPECT_TRUE(CPU_ISSET(last, &pinned));
  }
  EXPECT_TRUE(RunsOn(own)) << "the processors were not given back";
}

}  // namespace
}  // namespace kiv::testing

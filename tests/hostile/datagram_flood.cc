#include "tests/hostile/datagram_flood.h"

#include "discovery/datagram.h"
#include "testing/group_peer.h"

namespace kiv::hostile {
namespace {

using Clock = std::chrono::steady_clock;
using kiv::discoverytest::ByeBye;
using kiv::discoverytest::Notify;

// Users named "u<n>-<k>" for k below count, comma-separated.
std::string Users(std::uint64_t n, int count) {
  std::string users;
  for (int k = 0; k < count; ++k) {
    if (k != 0) users += ',';
    users += "u" + std::to_string(n) + "-" + std::to_string(k);
  }
  return users;
}

std::string FakeId(std::uint64_t n) {
  return "fake-" + std::to_string(n);
}

}  // namespace

std::string FloodDatagram(std::uint64_t n) {
  const std::string id = FakeId(n);
  switch (n % 10) {
    case 0:
    case 1:
    case 2:
      return Notify(id, 40000 + static_cast<int>(n % 1000), "fake-host-" + std::to_string(n),
                    Users(n, 16));
    case 3: {
      // As many new users as fit in the largest datagram the client reads.
      std::string notify = Notify(id, 40000, "fake-host", Users(n, 550));
      return notify.size() <= kiv::discovery::kMaxDatagramSize ? notify
                                                               : Notify(id, 40000, "h", "");
    }
    case 4:
      return ByeBye(FakeId(n - 4));  // a fake announced just before
    case 5:
      return std::string(kiv::discovery::kSearchDatagram);
    case 6:
      return "NOTIFY 1.0\r\nServerID: " + id + "\r\nPort: 1\r\nAliases: a\r\n\r\n";  // no Users
    case 7:
      return "NOTIFY 1.0\r\nServerID: " + id + "\r\nPort: 1\r\nAliases: a\r\nUsers: x";  // no CR LF
    case 8:
      return Notify(id, 40000, "h", Users(n, 1000));  // longer than the client reads
    default: {
      std::string binary = "NOTIFY 1.0";
      binary += '\0';
      for (int k = 0; k < 200; ++k) binary += static_cast<char>((n * 31 + k * 7) & 0xFF);
      return binary;
    }
  }
}

DatagramFlood::DatagramFlood(int perSecond, std::chrono::milliseconds duration)
    : perSecond_(perSecond), duration_(duration) {
  thread_ = std::make_unique<TestThread>([this] { Run(); });
}

DatagramFlood::~DatagramFlood() {
  stop_.Set();
  thread_.reset();
}

void DatagramFlood::Wait() {
  thread_.reset();
}

void DatagramFlood::Run() {
  kiv::discoverytest::GroupPeer peer;
  if (!peer.valid()) return;
  const auto start = Clock::now();
  const auto end = start + duration_;
  std::uint64_t n = 0;
  // Sends what is due, then waits a millisecond: a steady rate without a
  // busy loop, and the stop flag is honoured at once.
  while (!stop_.IsSet() && Clock::now() < end) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const auto due = static_cast<std::uint64_t>(elapsed * perSecond_);
    for (; n < due; ++n) {
      if (peer.Send(FloodDatagram(n))) {
        ++sent_;
      } else {
        ++dropped_;
      }
    }
    stop_.TimedWaitSet(1);
  }
}

}  // namespace kiv::hostile

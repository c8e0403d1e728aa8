// Hostile peers against kivd and a satellite (`kiv serve`) at once, while a
// good client keeps calling each. Sanitized builds scale counts down, bounds up.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>

#include <mutex>

#include "discovery/directory_catalog.h"
#include "discovery/discover_client.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/value.h"
#include "satellite/satellite_test_util.h"
#include "testing/child_process.h"
#include "testing/group_peer.h"
#include "testing/process_stats.h"
#include "testing/raw_peer.h"
#include "testing/temp_dir.h"
#include "testing/wait.h"

namespace {

using Clock = std::chrono::steady_clock;
using kiv::testing::Bytes, kiv::testing::ChildProcess, kiv::testing::Concat,
    kiv::testing::ProcessStats, kiv::testing::U16Bytes, kiv::testing::U32Bytes;
using std::chrono::milliseconds, std::chrono::seconds;

constexpr bool kSanitized = KIV_SANITIZED;
constexpr auto kStartTime = seconds(kSanitized ? 60 : 15);
// Waiting for an attacker shows in the median; the worst call (0.8 s seen on
// busy CI machines) stays far below the 30 s of a call stuck behind one.
constexpr double kMedianLatency = kSanitized ? 0.1 : 0.025, kWorstLatency = kSanitized ? 6 : 3;
// Sent before closing: the table is full; a message that will not be read.
constexpr char kTableFull[] = "80 06 80 01", kRefused[] = "80 06 00 05";

using Seconds = std::chrono::duration<double>;

// Invalid unless connected within the time-out, which stays for sending.
kiv::testing::Socket Connect(std::uint16_t port, milliseconds timeout) {
  kiv::testing::Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const timeval limit{timeout.count() / 1000, timeout.count() % 1000 * 1000};
  const sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  ::setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) s.reset();
  return s;
}

struct Peer {
  kiv::testing::Socket socket;
  Bytes trickle{}, received{};
  std::string label{};
  Clock::time_point connectedAt = Clock::now(), closedAt{};
  std::size_t trickled = 0;
  bool closed = false;

  void Drain() {
    std::uint8_t chunk[4096];
    ssize_t n = 1;
    while (!closed && (n = ::recv(socket.get(), chunk, sizeof chunk, MSG_DONTWAIT)) > 0) {
      received.insert(received.end(), chunk, chunk + n);
    }
    if (!closed && (n == 0 || (errno != EAGAIN && errno != EINTR))) {
      closed = true;
      closedAt = Clock::now();
    }
  }
};

std::size_t CountClosed(const std::vector<Peer>& peers) {
  return std::count_if(peers.begin(), peers.end(), [](const Peer& p) { return p.closed; });
}

struct Victim {
  std::string name, program, ready;
  std::vector<std::string> args;
  std::string request;  // the good call
  kiv::Variant argument;
  std::uint16_t port = 0;
  std::unique_ptr<ChildProcess> process{};
  std::unique_ptr<kiv::testing::TestThread> client{};
  ProcessStats baseline{};
  std::atomic<bool> stop{false}, stopped{false};
  std::atomic<int> made{0};
  std::mutex lock{};  // guards calls
  std::vector<std::tuple<Clock::time_point, double, std::string>> calls{};

  bool Settled() const {  // threads and descriptors back to the baseline
    const auto now = kiv::testing::ReadProcessStats(process->pid());
    return now && now->threads <= baseline.threads + 1 &&
           now->descriptors <= baseline.descriptors + 1;
  }

  // A call every 10 ms, each answer the same as the first (before any attack).
  void CallLoop() {
    KIV* engine = nullptr;
    KivCreate(&engine, nullptr, nullptr, nullptr);
    for (Bytes wanted; !stop; std::this_thread::sleep_for(milliseconds(10))) {
      kiv::Variant in = argument, out;
      std::int32_t code = 0;
      const auto began = Clock::now();
      const std::int32_t result =
          KivCall(engine, "127.0.0.1", port, request.c_str(), in.get(), out.get(), &code);
      const double took = Seconds(Clock::now() - began).count();
      if (result == 0 && code == 0 && wanted.empty()) wanted = kiv::testing::VariantBytes(*out);
      const std::string failure =
          result != 0 ? kiv::DescribeResult(result)
          : code != 0 ? "return code " + kiv::DescribeResult(code)
                      : (kiv::testing::VariantBytes(*out) != wanted ? "another answer" : "");
      std::lock_guard hold(lock);
      calls.emplace_back(began, took, failure);
      ++made;
    }
    KivRemoveSatellite(engine);
    KivDestroy(engine);
    stopped = true;
  }

  // The good calls that began from `from` until `to`: some, none failed or slow.
  void ExpectServed(Clock::time_point from, Clock::time_point to) {
    std::lock_guard hold(lock);
    std::vector<double> took;
    std::string failure;
    for (const auto& [began, time, problem] : calls) {
      if (began < from || began >= to) continue;
      took.push_back(time);
      if (failure.empty()) failure = problem;
    }
    ASSERT_FALSE(took.empty()) << name << ": no good call";
    std::sort(took.begin(), took.end());
    EXPECT_EQ(failure, "") << name;
    EXPECT_LE(took[took.size() / 2], kMedianLatency) << name;
    EXPECT_LE(took.back(), kWorstLatency) << name;
  }
};

class HostileTest : public ::testing::Test {
 protected:
  // The victims' time limits are divided by timeScale; MaxMessageSize unless 0.
  void StartVictims(int timeScale = 1, std::uint32_t maxMessageSize = 0) {
    environment_ = {{"KIV_DATA_DIR", dir_.path().string()},
                    {"KIV_REGISTRY", dir_.File("registry.reg")},
                    {"KIV_TIME_SCALE", std::to_string(timeScale)}};
    if (maxMessageSize != 0) {
      ASSERT_EQ(Kiv({"registry", "set", "Software\\ZIB Networks\\Zib", "MaxMessageSize", "--dword",
                     std::to_string(maxMessageSize)}),
                "");
    }
    for (Victim* v : {&kivd_, &satellite_}) {  // the satellite needs the directory
      v->process = std::make_unique<ChildProcess>(v->program, v->args, environment_);
      const auto ready = v->process->WaitForLine(v->ready, kStartTime);
      ASSERT_TRUE(ready) << v->process->Errors();
      if (v->port == 0) v->port = std::stoi(ready->substr(ready->rfind(' ') + 1));
    }
    for (Victim* v : victims()) {
      v->client = std::make_unique<kiv::testing::TestThread>([v] { v->CallLoop(); });
      ASSERT_TRUE(kiv::testing::WaitUntil([v] { return v->made > 0; }, 10000)) << v->name;
      v->baseline = kiv::testing::ReadProcessStats(v->process->pid()).value_or(v->baseline);
    }
    started_ = Clock::now();
  }

  // After every attack a fresh caller is served at once, the victims shed what
  // it left (but kivd's first ping's connection, which both keep), and stop.
  void TearDown() override {
    if (satellite_.client && kivd_.client) {
      const auto asked = Clock::now();
      EXPECT_EQ(Kiv({"call", "--to", "victim", "Echo", "7"}),
                "{\"statuses\":[0],\"values\":[7]}\n");
      EXPECT_LE(Clock::now() - asked, seconds(kSanitized ? 10 : 2));
      // Threads that served the attack stay parked for 2 s first.
      for (Victim* v : victims()) {
        EXPECT_TRUE(kiv::testing::WaitUntil([v] { return v->Settled(); }, 10000)) << v->name;
      }
    }
    for (Victim* v : victims()) {
      v->stop = true;
      EXPECT_TRUE(!v->client || kiv::testing::WaitUntil([v] { return v->stopped.load(); }, 10000))
          << v->name << ": a good call has not returned for 10 s";
    }
    // The satellite first: it leaves the directory as it goes.
    for (Victim* v : victims()) {
      if (!v->process) continue;
      v->process->Signal(SIGTERM);
      EXPECT_EQ(v->process->Wait(kStartTime), 0) << v->name << ": " << v->process->Errors();
      v->process.reset();
    }
    for (Victim* v : victims()) v->client.reset();
  }

  std::string Kiv(const std::vector<std::string>& args) {
    const auto outcome = kiv::testing::RunProgram(KIV_CLI_PATH, args, "", environment_);
    return outcome.out + outcome.err;
  }

  std::vector<Victim*> victims() { return {&satellite_, &kivd_}; }

  // `count` connections 1 ms apart, each sent `head`; false when one did not
  // connect. One stalled on the full accept queue (of ten) is replaced at once.
  bool Open(std::vector<Peer>& peers, const Victim& v, std::size_t count, const Bytes& head,
            const std::string& label) {
    for (std::size_t i = 0; i < count; ++i, std::this_thread::sleep_for(milliseconds(1))) {
      kiv::testing::Socket s;
      for (int tries = 0; tries < (kSanitized ? 300 : 100) && !s.valid(); ++tries) {
        s = Connect(v.port, milliseconds(100));
      }
      peers.push_back({std::move(s), {}, {}, v.name + ", " + label});
      // A victim that refuses at once may close before all of it is sent.
      kiv::testing::SendBytes(peers.back().socket.get(), head);
      for (Peer& p : peers) p.Drain();
      if (!peers.back().socket.valid()) return false;
    }
    return true;
  }

  // Until `until` or `done`: drips a byte a second to each open peer.
  static void Hold(std::vector<Peer>& peers, Clock::time_point until,
                   const std::function<bool()>& done = {}) {
    for (auto drip = Clock::now(); Clock::now() < until && !(done && done());) {
      const bool dripNow = Clock::now() >= drip;
      std::vector<pollfd> open;
      for (Peer& p : peers) {
        if (dripNow && !p.closed && p.trickled < p.trickle.size()) {
          p.trickled += ::send(p.socket.get(), &p.trickle[p.trickled], 1, MSG_NOSIGNAL) == 1;
        }
        if (!p.closed) open.push_back({p.socket.get(), POLLIN, 0});
      }
      if (dripNow) drip += seconds(1);
      ::poll(open.data(), open.size(), 100);
      for (Peer& p : peers) p.Drain();
    }
  }

  kiv::testing::TempDir dir_{"kiv_hostile"};
  Clock::time_point started_{};  // the victims, and the attack
  std::map<std::string, std::string> environment_;
  // clang-format off
  Victim satellite_{"satellite", KIV_CLI_PATH, "ready victim ",
      {"serve", "--name", "victim", "--service", "Echo"}, "Echo", kiv::Variant::String(u"ok")};
  Victim kivd_{"kivd", KIVD_PATH, "ready ", {"--server-id", "test-directory", "--users", "ann"},
      "GetSatelliteHost", kiv::Variant::String(u"victim"), KIV_DIRECTORY_PORT};
  // clang-format on
};

// 250 connections that drip a request a byte a second, beyond the victims'
// table of 200: the excess is refused, the rest held while the good clients,
// already in the table, are served.
TEST_F(HostileTest, ASlowDripBeyondTheTableIsRefusedOrHeldWithoutHarm) {
  StartVictims();
  const std::size_t excess = 250 - 200;
  std::vector<Peer> peers;
  for (Victim* v : victims()) {
    std::vector<Peer> some;
    ASSERT_TRUE(Open(some, *v, 250, {}, "dripping")) << v->name;
    // Refusals go out as the victim accepts; then stragglers.
    Hold(some, Clock::now() + seconds(10), [&] { return CountClosed(some) >= excess; });
    Hold(some, Clock::now() + milliseconds(500));
    // Besides the attackers it holds the good client and the other victim.
    EXPECT_GE(CountClosed(some), excess) << v->name;
    EXPECT_LE(CountClosed(some), excess + 4) << v->name;
    for (Peer& p : some) {
      EXPECT_EQ(kiv::testing::Hex(p.received), p.closed ? kTableFull : "") << p.label;
      p.trickle = kiv::testing::RequestBytes(u"a-long-caller-name", u"Echo", *kiv::Variant::I4(1));
      peers.push_back(std::move(p));
    }
  }
  const std::size_t refused = CountClosed(peers);
  const auto held = Clock::now();
  Hold(peers, held + seconds(6));
  EXPECT_EQ(CountClosed(peers), refused) << "a connection held was dropped";
  for (const Peer& p : peers) EXPECT_TRUE(p.closed || p.trickled >= 5) << p.trickled;
  for (Victim* v : victims()) v->ExpectServed(held, Clock::now());
}

// Request heads that announce gigabytes, then stay silent: with the default
// size limit as with a configured one, each is refused at once.
class GiantTest : public HostileTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(GiantTest, EachIsRefusedAtOnce) {
  // 4 Gi variants, the first a 2 GiB string.
  const Bytes head =
      Concat({U16Bytes(0), kiv::testing::StringBytes(u"giant"), kiv::testing::StringBytes(u"Echo"),
              U16Bytes(VT_ARRAY | VT_VARIANT), U32Bytes(1), U32Bytes(0), U32Bytes(0xFFFFFFFF),
              U16Bytes(VT_BSTR), U32Bytes(0x40000000)});
  StartVictims(1, GetParam());
  std::vector<Peer> peers;
  for (Victim* v : victims()) {
    ASSERT_TRUE(Open(peers, *v, kSanitized ? 8 : 16, head, "giant")) << v->name;
  }
  // Well inside the message deadline of 30 s.
  Hold(peers, peers.back().connectedAt + seconds(kSanitized ? 6 : 3),
       [&] { return CountClosed(peers) == peers.size(); });
  const auto quiet = Clock::now();
  for (const Peer& p : peers) {
    ASSERT_TRUE(p.closed) << p.label << ": still open";
    EXPECT_EQ(kiv::testing::Hex(p.received), kRefused) << p.label;
  }
  for (Victim* v : victims()) v->ExpectServed(started_, quiet);
}

INSTANTIATE_TEST_SUITE_P(DefaultAndConfiguredSizeLimit, GiantTest, ::testing::Values(0u, 1u << 20));

// Connections that made one exchange and went silent hold no slot. Then a
// crowd of satellites registers, most of it leaves, and kivd keeps about as
// many descriptors as satellites that live, and admits newcomers.
TEST_F(HostileTest, IdlePeersAndACrowdThatComesAndGoesLeaveRoomForNewcomers) {
  ASSERT_TRUE(kiv::testing::RaiseDescriptorLimit(4000));
  StartVictims();
  std::vector<kiv::testing::Socket> idle;
  for (int i = 0; i < 250; ++i) {
    idle.push_back(Connect(kivd_.port, seconds(1)));
    ASSERT_TRUE(kiv::testing::SendBytes(idle.back().get(), kiv::testing::PingBytes(0)) &&
                kiv::testing::ReadBytes(idle.back().get(), 8));
  }
  const auto descriptors = [&] {
    return kiv::testing::ReadProcessStats(kivd_.process->pid())->descriptors;
  };
  const int before = descriptors();
  std::vector<std::unique_ptr<kiv::satellitetest::TestSatellite>> crowd;
  const auto join = [&](int count) {
    for (int i = 0; i < count; ++i) {
      crowd.push_back(std::make_unique<kiv::satellitetest::TestSatellite>());
      const std::u16string name = u"crowd-" + kiv::FromUtf8(std::to_string(crowd.size()));
      EXPECT_EQ(crowd.back()->Connect(u"127.0.0.1", name.c_str()), 0) << crowd.size();
    }
  };
  join(120);
  join(70);
  const int crowded = descriptors();
  crowd.erase(crowd.begin(), crowd.begin() + 120);
  // A satellite costs kivd its connection in and the one kivd pings it on.
  EXPECT_TRUE(
      kiv::testing::WaitUntil([&] { return descriptors() <= before + 2 * 70 + 16; }, 10000));
  std::printf("kivd descriptors: %d with 250 idle peers, %d with 190 satellites, %d with 70\n",
              before, crowded, descriptors());
  join(10);
  for (Victim* v : victims()) v->ExpectServed(started_, Clock::now());
}

// The n-th datagram of a flood: NOTIFYs of ever new fake directories (one in
// ten with 550 new users, near the size limit; one in ten too long to be
// read), BYEBYEs and SEARCHes.
std::string FloodDatagram(std::uint64_t n) {
  if (n % 10 == 4) return kiv::discoverytest::ByeBye("fake-" + std::to_string(n - 4));
  if (n % 10 == 5) return std::string(kiv::discovery::kSearchDatagram);
  std::string users = "u" + std::to_string(n);
  for (int k = 1; k < (n % 10 == 3 ? 550 : n % 10 == 8 ? 1000 : 16); ++k) {
    users += ",u" + std::to_string(n) + "-" + std::to_string(k);
  }
  return kiv::discoverytest::Notify("fake-" + std::to_string(n), 40000 + n % 1000, "fake-host",
                                    users);
}

// First connections closed at once, over and over, half the time after part of
// a request, half the time with a reset instead of the closing handshake. Then
// a datagram flood, which the victims hear, and this process too, through its
// good clients' engines.
TEST_F(HostileTest, AConnectAndCloseLoopAndADatagramFloodLeaveNothingBehind) {
  StartVictims();
  Bytes partial = kiv::testing::RequestBytes(u"quick", u"Echo", *kiv::Variant::I4(1));
  partial.resize(partial.size() / 2);
  const linger reset{1, 0};
  std::size_t rounds = 0;
  for (const auto start = Clock::now();
       Clock::now() < start + seconds(10) && rounds < (kSanitized ? 2000 : 20000);) {
    // Given up at once on a full accept queue, so that the queue stays full.
    kiv::testing::Socket s = Connect(victims()[rounds % 2]->port, milliseconds(5));
    if (!s.valid()) continue;
    if (rounds % 2 == 1) kiv::testing::SendBytes(s.get(), partial);
    if (rounds++ % 4 >= 2) ::setsockopt(s.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  }
  EXPECT_GE(rounds, kSanitized ? 200 : 2000);
  const std::uint64_t perSecond = kSanitized ? 1000 : 5000, total = perSecond * 8;
  std::uint64_t sent = 0;
  const auto start = Clock::now();
  kiv::testing::TestThread([&] {  // joined once all is sent
    kiv::discoverytest::GroupPeer peer;
    for (std::uint64_t n = 0; n < total && Clock::now() < start + seconds(10);) {
      const double due = Seconds(Clock::now() - start).count() * perSecond;
      for (; n < due && n < total; ++n) sent += peer.Send(FloodDatagram(n));
      std::this_thread::sleep_for(milliseconds(1));
    }
  });
  EXPECT_GE(sent, total / 4);  // the sender may fall behind on a loaded machine
  for (Victim* v : victims()) v->ExpectServed(started_, Clock::now());
  const auto client = GetDiscoverClient();
  EXPECT_LE(client->DirectoryCount(), kiv::discovery::kMaxDirectories);
  // A sanitized receiver drops more of the flood in its socket's buffer.
  EXPECT_GE(client->DirectoryCount(), kiv::discovery::kMaxDirectories / (kSanitized ? 4 : 2));
  EXPECT_LE(client->UserCount(), kiv::discovery::kMaxUsers);
  EXPECT_EQ(client->GetDirectoryHost("test-directory"), "127.0.0.1:29831");
  EXPECT_TRUE(client->TablesConsistent());
  EXPECT_EQ(Kiv({"discover", "--user", "ann", "--for", "5"}), "127.0.0.1:29831\n");
}

}  // namespace

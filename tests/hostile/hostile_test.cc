// Hostile peers against two victims at once, kivd and a satellite (`kiv serve
// --name victim`), child processes in the test's own network namespace. A good
// client keeps calling each victim all along; after each attack both must serve,
// fall back to their baseline threads and descriptors, and stop cleanly.
// Sanitized builds (KIV_HOSTILE_SANITIZED) scale the counts down, the bounds up.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <tuple>

#include "discovery/datagram.h"
#include "discovery/directory_catalog.h"
#include "discovery/discover_client.h"
#include "engine/wire/wire_codec.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/value.h"
#include "testing/child_process.h"
#include "testing/group_peer.h"
#include "testing/process_stats.h"
#include "testing/program_runner.h"
#include "testing/raw_peer.h"
#include "testing/temp_dir.h"
#include "testing/wait.h"

namespace {

using Clock = std::chrono::steady_clock;
using kiv::testing::Bytes;
using std::chrono::milliseconds;
using std::chrono::seconds;

#ifdef KIV_HOSTILE_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr std::size_t Scaled(std::size_t n, std::size_t divisor) {
  return kSanitized ? n / divisor : n;
}

constexpr auto kStartTime = seconds(kSanitized ? 60 : 15);
// Good calls take about 0.2 ms unabused. CI runs two tests at once on a shared
// machine, where single calls stalled for up to 0.8 s: the median is bounded
// tightly (a victim making every call wait for an attacker shows there), the
// worst call loosely, far below the 30 s of a call stuck behind an attacker.
constexpr auto kMedianLatency = milliseconds(kSanitized ? 100 : 25);
constexpr auto kWorstLatency = milliseconds(kSanitized ? 6000 : 3000);
// What a victim sends before it closes: its connection table is full; a
// message it will not read (too large, or not complete by the deadline).
constexpr char kTableFull[] = "80 06 80 01";
constexpr char kRefused[] = "80 06 00 05";
const kiv::Variant kOne = kiv::Variant::I4(1);

double SecondsOf(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

Bytes Encoded(const VARIANT& value) {
  kiv::MemorySink sink;
  kiv::WriteVariant(sink, value);
  return sink.bytes();
}

std::int64_t VirtualKiB(pid_t pid) {
  std::int64_t pages = 0;
  std::ifstream("/proc/" + std::to_string(pid) + "/statm") >> pages;
  return pages * (::sysconf(_SC_PAGESIZE) / 1024);
}

// A connection to 127.0.0.1:port; invalid when the handshake was not done
// within the time-out, which stays in force for sending.
kiv::testing::Socket Connect(std::uint16_t port, milliseconds timeout) {
  kiv::testing::Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const timeval limit{timeout.count() / 1000, timeout.count() % 1000 * 1000};
  const sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
  ::setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (::connect(s.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) s.reset();
  return s;
}

// One attacking connection: what it trickles, and what the victim did.
struct Peer {
  kiv::testing::Socket socket;
  Bytes trickle{};  // sent a byte a second
  Clock::time_point connectedAt = Clock::now(), closedAt{};
  std::size_t trickled = 0;
  Bytes received{};
  bool closed = false;
};

// Takes in what arrived on the open peers and notes the victims' closes.
void Drain(std::vector<Peer>& peers) {
  std::uint8_t chunk[4096];
  for (Peer& p : peers) {
    ssize_t n = 1;
    while (!p.closed && (n = ::recv(p.socket.get(), chunk, sizeof chunk, MSG_DONTWAIT)) > 0) {
      p.received.insert(p.received.end(), chunk, chunk + n);
    }
    if (!p.closed && (n == 0 || (errno != EAGAIN && errno != EINTR))) {
      p.closed = true;
      p.closedAt = Clock::now();
    }
  }
}

std::size_t CountClosed(const std::vector<Peer>& peers) {
  return std::count_if(peers.begin(), peers.end(), [](const Peer& p) { return p.closed; });
}

// A victim, its good client's calls and what it uses during an attack.
struct Victim {
  std::string name, request;
  std::unique_ptr<kiv::testing::ChildProcess> process{};
  std::uint16_t port = 0;
  kiv::Variant argument{};
  kiv::testing::ProcessStats baseline{}, start{}, peak{};
  std::int64_t startVirtualKiB = 0, peakVirtualKiB = 0;
  Clock::time_point startedAt{}, sampledAt{};
  double cpuSeconds = 0;
  std::mutex lock{};
  std::vector<std::tuple<Clock::time_point, Clock::duration, std::string>> calls{};
  std::atomic<bool> stop{false}, stopped{false};
  std::atomic<int> made{0};
  std::unique_ptr<kiv::testing::TestThread> client{};

  // The good client: a call every 10 ms on an engine of its own, each answer
  // the same as the first, given before any attack.
  void CallLoop() {
    KIV* engine = nullptr;
    KivCreate(&engine, nullptr, nullptr, nullptr);
    for (Bytes wanted; !stop; std::this_thread::sleep_for(milliseconds(10))) {
      kiv::Variant in = argument, out;
      std::int32_t code = 0;
      const auto start = Clock::now();
      const std::int32_t result =
          KivCall(engine, "127.0.0.1", port, request.c_str(), in.get(), out.get(), &code);
      if (result == 0 && code == 0 && wanted.empty()) wanted = Encoded(*out);
      std::string failure = result != 0 ? kiv::DescribeResult(result)
                            : code != 0 ? "return code " + kiv::DescribeResult(code)
                                        : (Encoded(*out) != wanted ? "another answer" : "");
      std::lock_guard hold(lock);
      calls.emplace_back(start, Clock::now() - start, failure);
      ++made;
    }
    KivRemoveSatellite(engine);
    KivDestroy(engine);
    stopped = true;
  }

  void Sample(bool begin = false) {
    const auto stats = kiv::testing::ReadProcessStats(process->pid());
    if (!stats) return;
    if (begin) {
      start = peak = *stats;
      startVirtualKiB = peakVirtualKiB = VirtualKiB(process->pid());
      startedAt = Clock::now();
    }
    peak.residentKiB = std::max(peak.residentKiB, stats->residentKiB);
    peak.threads = std::max(peak.threads, stats->threads);
    peak.descriptors = std::max(peak.descriptors, stats->descriptors);
    peakVirtualKiB = std::max(peakVirtualKiB, VirtualKiB(process->pid()));
    cpuSeconds = stats->cpuSeconds;
    sampledAt = Clock::now();
  }

  // Since the attack began: resident growth over the baseline, and CPU
  // seconds per wall second. The good calls that began in [from, to): some,
  // none failed, none slow.
  void ExpectWithstood(Clock::time_point from, Clock::time_point to, std::int64_t growthKiB,
                       double cpuShare) {
    const double share = (cpuSeconds - start.cpuSeconds) / SecondsOf(sampledAt - startedAt);
    std::printf("[hostile] %s peak: %lld KiB, %d threads, %d fds, cpu share %.3f\n", name.c_str(),
                static_cast<long long>(peak.residentKiB), peak.threads, peak.descriptors, share);
    EXPECT_LE(peak.residentKiB - baseline.residentKiB, growthKiB) << name;
    EXPECT_LE(share, cpuShare) << name;
    std::vector<Clock::duration> took;
    std::string failure;
    std::lock_guard hold(lock);
    for (const auto& [began, time, problem] : calls) {
      if (began < from || began >= to) continue;
      took.push_back(time);
      if (failure.empty()) failure = problem;
    }
    std::sort(took.begin(), took.end());
    ASSERT_FALSE(took.empty()) << name << ": no good call";
    std::printf("[hostile] %s: %zu good calls, median %.2f ms, max %.2f ms\n", name.c_str(),
                took.size(), SecondsOf(took[took.size() / 2]) * 1e3, SecondsOf(took.back()) * 1e3);
    EXPECT_EQ(failure, "") << name;
    EXPECT_LE(took[took.size() / 2], kMedianLatency) << name;
    EXPECT_LE(took.back(), kWorstLatency) << name;
  }

  // Give or take one: kivd's first ping of the satellite opens a connection
  // that both keep.
  void ExpectBackToBaseline() {
    std::optional<kiv::testing::ProcessStats> now;
    const auto back = [&] {
      return (now = kiv::testing::ReadProcessStats(process->pid())) &&
             now->threads <= baseline.threads + 1 && now->descriptors <= baseline.descriptors + 1;
    };
    EXPECT_TRUE(kiv::testing::WaitUntil(back, 10000))
        << name << ": " << (now ? now->threads : -1) << " threads, "
        << (now ? now->descriptors : -1) << " fds";
  }
};

class HostileTest : public ::testing::Test {
 protected:
  // Both victims and their good clients; the victims' time limits divided by
  // timeScale, and MaxMessageSize set unless 0.
  void StartVictims(int timeScale = 1, std::uint32_t maxMessageSize = 0) {
    environment_ = {{"KIV_DATA_DIR", dir_.path().string()},
                    {"KIV_REGISTRY", dir_.File("registry.reg")},
                    {"KIV_TIME_SCALE", std::to_string(timeScale)}};
    if (maxMessageSize != 0) {
      ASSERT_EQ(Kiv({"registry", "set", "Software\\ZIB Networks\\Zib", "MaxMessageSize", "--dword",
                     std::to_string(maxMessageSize)}),
                "");
    }
    kivd_.process = std::make_unique<kiv::testing::ChildProcess>(
        KIVD_PATH, std::vector<std::string>{"--server-id", "test-directory", "--users", "ann"},
        environment_);
    ASSERT_TRUE(kivd_.process->WaitForLine("ready ", kStartTime)) << kivd_.process->Errors();
    satellite_.process = Serve("victim", {"--service", "Echo", "--follow", "Fail"}, &satellite_);
    ASSERT_NE(satellite_.port, 0);
    for (Victim* v : victims()) {
      v->client = std::make_unique<kiv::testing::TestThread>([v] { v->CallLoop(); });
      ASSERT_TRUE(kiv::testing::WaitUntil([v] { return v->made > 0; }, 10000)) << v->name;
    }
    for (Victim* v : victims()) {
      v->baseline = kiv::testing::ReadProcessStats(v->process->pid()).value_or(v->baseline);
      v->Sample(true);
    }
  }

  void TearDown() override {
    for (Victim* v : victims()) {
      v->stop = true;
      // A good call still waiting is freed by its victim's end.
      if (v->client && !kiv::testing::WaitUntil([v] { return v->stopped.load(); }, 10000)) {
        ADD_FAILURE() << v->name << ": a good call has not returned for 10 s";
        v->process->Kill();
      }
      v->client.reset();
    }
    for (Victim* v : victims()) {  // the satellite first: it leaves the directory as it goes
      if (!v->process) continue;
      v->process->Signal(SIGTERM);
      EXPECT_EQ(v->process->Wait(kStartTime), 0) << v->name << ": " << v->process->Errors();
    }
  }

  std::unique_ptr<kiv::testing::ChildProcess> Serve(const std::string& name,
                                                    std::vector<std::string> args,
                                                    Victim* victim = nullptr) {
    args.insert(args.begin(), {"serve", "--name", name});
    auto serve = std::make_unique<kiv::testing::ChildProcess>(KIV_CLI_PATH, args, environment_);
    const auto ready = serve->WaitForLine("ready " + name + " ", kStartTime);
    EXPECT_TRUE(ready) << serve->Errors();
    if (victim != nullptr && ready) victim->port = std::stoi(ready->substr(ready->rfind(' ') + 1));
    return serve;
  }

  std::string Kiv(const std::vector<std::string>& args) {
    const auto outcome = kiv::testing::RunProgram(KIV_CLI_PATH, args, "", environment_);
    return outcome.out + outcome.err;
  }

  std::vector<Victim*> victims() { return {&satellite_, &kivd_}; }

  // `count` connections to the victim 1 ms apart (its accept queue holds
  // ten), each sent `head`; false when one did not connect. A handshake that
  // stalls on a full queue is replaced at once, not retried a second later.
  bool Open(std::vector<Peer>& peers, const Victim& v, std::size_t count, const Bytes& head) {
    for (std::size_t i = 0; i < count; ++i, std::this_thread::sleep_for(milliseconds(1))) {
      kiv::testing::Socket s;
      for (int tries = 0; tries < (kSanitized ? 300 : 100) && !s.valid(); ++tries) {
        s = Connect(v.port, milliseconds(100));
      }
      peers.push_back({std::move(s)});
      // A victim that refuses at once may close before all of it is sent.
      kiv::testing::SendBytes(peers.back().socket.get(), head);
      Drain(peers);
      if (!peers.back().socket.valid()) return false;
    }
    return true;
  }

  // Until `until` or `done`: drips the next byte of its trickle to every open
  // peer once a second, notes what the victims send back and samples them.
  void Hold(
      std::vector<Peer>& peers, Clock::time_point until,
      const std::function<bool()>& done = [] { return false; }) {
    for (auto drip = Clock::now(); Clock::now() < until && !done();) {
      for (Peer& p : peers) {
        if (Clock::now() < drip || p.closed || p.trickled == p.trickle.size()) continue;
        p.trickled += ::send(p.socket.get(), &p.trickle[p.trickled], 1, MSG_NOSIGNAL) == 1;
      }
      if (Clock::now() >= drip) drip += seconds(1);
      std::vector<pollfd> open;
      for (const Peer& p : peers) {
        if (!p.closed) open.push_back({p.socket.get(), POLLIN, 0});
      }
      ::poll(open.data(), open.size(), 100);
      Drain(peers);
      for (Victim* v : victims()) v->Sample();
    }
  }

  kiv::testing::TempDir dir_{"kiv_hostile"};
  std::map<std::string, std::string> environment_;
  Victim satellite_{"satellite", "Echo", nullptr, 0, kiv::Variant::String(u"still served")};
  Victim kivd_{"kivd", "GetSatelliteHost", nullptr, KIV_DIRECTORY_PORT,
               kiv::Variant::String(u"victim")};
};

// Connect and close at once, over and over, half the time after part of a
// request, half the time with a reset instead of the closing handshake.
TEST_F(HostileTest, AConnectAndCloseLoopLeavesNothingBehind) {
  StartVictims();
  Bytes partial = kiv::testing::RequestBytes(u"quick", u"Echo", *kOne);
  partial.resize(partial.size() / 2);
  const linger reset{1, 0};
  std::size_t rounds = 0;
  const auto start = Clock::now();
  while (Clock::now() < start + seconds(10) && rounds < Scaled(20000, 10)) {
    // Given up at once on a full accept queue, so that the queue stays full.
    kiv::testing::Socket s = Connect(victims()[rounds % 2]->port, milliseconds(5));
    if (!s.valid()) continue;
    if (rounds % 2 == 1) kiv::testing::SendBytes(s.get(), partial);
    if (rounds % 4 >= 2) ::setsockopt(s.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    if (++rounds % 200 == 0) satellite_.Sample(), kivd_.Sample();
  }
  const auto end = Clock::now();
  std::printf("[hostile] %zu rounds in %.1f s\n", rounds, SecondsOf(end - start));
  EXPECT_GE(rounds, Scaled(2000, 10));
  for (Victim* v : victims()) {
    // Measured 0.2 MiB and 0.09-0.29 CPU plain, 28 MiB under ASan (quarantine).
    v->ExpectWithstood(start, end, kSanitized ? 384 << 10 : 16 << 10, kSanitized ? 1.0 : 0.5);
    v->ExpectBackToBaseline();
  }
}

// Connections that drip a request a byte a second (it would take a minute),
// below and beyond the victims' table of 200: the excess is refused as full,
// what was taken in is held without harm, and the good clients, already in
// the table, are served. Fresh connections are served once they leave.
class SlowDripTest : public HostileTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(SlowDripTest, IsHeldWithoutHarmAndReleasedWhenItEnds) {
  StartVictims();
  const std::size_t count = GetParam(), excess = count > 200 ? count - 200 : 0;
  const Bytes request = kiv::testing::RequestBytes(u"a-caller-with-a-long-name", u"Echo", *kOne);
  std::vector<Peer> peers;
  for (Victim* v : victims()) {
    std::vector<Peer> some;
    ASSERT_TRUE(Open(some, *v, count, {})) << v->name;
    // Refusals go out as the victim accepts; then stragglers.
    Hold(some, Clock::now() + seconds(10), [&] { return CountClosed(some) >= excess; });
    Hold(some, Clock::now() + milliseconds(500));
    std::printf("[hostile] %s refused %zu of %zu\n", v->name.c_str(), CountClosed(some), count);
    // Besides the attackers it holds the good client and the other victim.
    EXPECT_GE(CountClosed(some), excess) << v->name;
    EXPECT_LE(CountClosed(some), excess == 0 ? 0 : excess + 4) << v->name;
    for (Peer& p : some) {
      EXPECT_EQ(kiv::testing::Hex(p.received), p.closed ? kTableFull : "") << v->name;
      p.trickle = request;
      peers.push_back(std::move(p));
    }
  }
  const std::size_t refused = CountClosed(peers);
  for (Victim* v : victims()) v->Sample(true);
  const auto start = Clock::now();
  Hold(peers, start + seconds(6));
  const auto end = Clock::now();
  EXPECT_EQ(CountClosed(peers), refused) << "a connection held was dropped";
  for (const Peer& p : peers) EXPECT_TRUE(p.closed || p.trickled >= 5) << p.trickled;
  for (Victim* v : victims()) {
    // A worker, its stack and buffers per connection: measured 3-4 MiB plain,
    // 48 MiB under ASan, 240 MiB under TSan; CPU 0.01-0.09.
    v->ExpectWithstood(start, end, kSanitized ? 512 << 10 : 32 << 10, kSanitized ? 0.5 : 0.25);
  }
  peers.clear();
  const auto released = Clock::now();
  EXPECT_EQ(Kiv({"call", "--to", "victim", "Echo", "7"}), "{\"statuses\":[0],\"values\":[7]}\n");
  EXPECT_LE(Clock::now() - released, seconds(kSanitized ? 10 : 2));
  for (Victim* v : victims()) v->ExpectBackToBaseline();
}

INSTANTIATE_TEST_SUITE_P(BelowAndBeyondTheTable, SlowDripTest, ::testing::Values(150, 250));

// Request heads that announce gigabytes, then stay silent or trickle a byte a
// second. Nothing may be allocated on the announcement; with a message size
// limit each is refused at once (well before its deadline), without one
// dropped at the message deadline (30 s; 3 s here, KIV_TIME_SCALE=10),
// trickling or not.
std::vector<std::pair<std::string, Bytes>> Giants() {
  using kiv::testing::Concat, kiv::testing::U16Bytes, kiv::testing::U32Bytes;
  const Bytes request = Concat(
      {U16Bytes(0), kiv::testing::StringBytes(u"giant"), kiv::testing::StringBytes(u"Echo")});
  const Bytes fourGi = Concat({U32Bytes(1), U32Bytes(0), U32Bytes(0xFFFFFFFF)});  // 1 dimension
  const Bytes twoGiBString = Concat({U16Bytes(VT_BSTR), U32Bytes(0x40000000)});
  Bytes longest = Concat({U16Bytes(0), U32Bytes(kiv::kMaxStringUnits)});
  longest.resize(longest.size() + (64 << 10), 0x61);
  return {
      {"2 GiB caller string", Concat({U16Bytes(0), U32Bytes(0x40000000)})},
      {"longest caller string, 64 KiB of it sent", longest},
      {"4 Gi bytes", Concat({request, U16Bytes(VT_ARRAY | VT_UI1), fourGi})},
      {"4 Gi variants", Concat({request, U16Bytes(VT_ARRAY | VT_VARIANT), fourGi})},
      {"4 Gi strings", Concat({request, U16Bytes(VT_ARRAY | VT_BSTR), fourGi})},
      {"65535 x 65535 doubles",
       Concat({request, U16Bytes(VT_ARRAY | VT_R8), U32Bytes(2), U32Bytes(0), U32Bytes(0xFFFF),
               U32Bytes(0), U32Bytes(0xFFFF)})},
      {"4 Gi variants, the first a 2 GiB string",
       Concat({request, U16Bytes(VT_ARRAY | VT_VARIANT), fourGi, twoGiBString})},
  };
}

class GiantTest : public HostileTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(GiantTest, NothingIsAllocatedOnTrustAndEachIsRefusedOrDroppedInTime) {
  StartVictims(10, GetParam());
  // Timed from the connect; the victim starts at the accept, a little later,
  // and notices the end within its next wait.
  const milliseconds earliest(2800), latest(kSanitized ? 9000 : 6000);
  // Continues every shape validly: string units, bytes, VT_I2 variants, a
  // string's length (then its units), doubles.
  Bytes trickle;
  for (int i = 0; i < 64; ++i) trickle.insert(trickle.end(), {0x00, 0x02, 0x00, 0x01});
  std::vector<Peer> peers;
  std::vector<std::string> labels;
  for (Victim* v : victims()) {
    for (const auto& [name, head] : Giants()) {
      ASSERT_TRUE(Open(peers, *v, Scaled(8, 2), head)) << name;
      for (std::size_t i = 0; i < Scaled(8, 2); ++i) {
        labels.push_back(v->name + ", " + name + (i % 2 ? ", trickling" : ", silent"));
        if (i % 2) peers[labels.size() - 1].trickle = trickle;
      }
    }
  }
  const auto start = Clock::now();
  Hold(peers, peers.front().connectedAt + earliest);
  const auto quiet = Clock::now();
  Hold(peers, peers.back().connectedAt + latest,
       [&] { return CountClosed(peers) == peers.size(); });
  for (std::size_t i = 0; i < peers.size(); ++i) {
    const Peer& p = peers[i];
    const std::string bytes = kiv::testing::Hex(p.received);
    ASSERT_TRUE(p.closed) << labels[i] << ": still open";
    EXPECT_TRUE(bytes == kRefused || (bytes.empty() && GetParam() == 0)) << labels[i] << bytes;
    const auto held = p.closedAt - p.connectedAt;
    EXPECT_TRUE(GetParam() ? held < earliest : held >= earliest && held <= latest)
        << labels[i] << ": held " << SecondsOf(held) << " s, then " << bytes;
  }
  for (Victim* v : victims()) {
    // Workers' stacks and malloc arenas add up to 1.5 GiB of address space; a
    // buffer sized by any one announcement would add 2 GiB or more. Resident
    // growth measured 2 MiB plain, 40 MiB sanitized; CPU 0.02-0.08.
    EXPECT_LE(v->peakVirtualKiB - v->startVirtualKiB, std::int64_t{4} << 20) << v->name;
    v->ExpectWithstood(start, quiet, kSanitized ? 384 << 10 : 24 << 10, kSanitized ? 0.5 : 0.25);
    v->ExpectBackToBaseline();
  }
}

INSTANTIATE_TEST_SUITE_P(WithoutAndWithASizeLimit, GiantTest, ::testing::Values(0u, 1u << 20));

// The n-th datagram of a flood: NOTIFYs of ever new fake directories (one in
// ten with as many new users as fit), BYEBYEs, SEARCHes and malformed ones.
std::string FloodDatagram(std::uint64_t n) {
  using kiv::discoverytest::Notify;
  const std::string id = "fake-" + std::to_string(n);
  std::string users = "u" + std::to_string(n);
  for (int k = 1; k < (n % 10 == 3 ? 550 : n % 10 == 8 ? 1000 : 16); ++k) {
    users += ",u" + std::to_string(n) + "-" + std::to_string(k);
  }
  const std::string bare = "NOTIFY 1.0\r\nServerID: " + id + "\r\nPort: 1\r\nAliases: a\r\n";
  if (n % 10 == 3 && Notify(id, 1, "h", users).size() > kiv::discovery::kMaxDatagramSize) {
    users.resize(users.rfind(',', kiv::discovery::kMaxDatagramSize - 100));
  }
  if (n % 10 == 4) return kiv::discoverytest::ByeBye("fake-" + std::to_string(n - 4));
  if (n % 10 == 5) return std::string(kiv::discovery::kSearchDatagram);
  if (n % 10 == 6) return bare + "\r\n";                    // no Users
  if (n % 10 == 7) return bare + "Users: x";                // no end
  if (n % 10 == 9) return bare + std::string(200, '\0');    // binary
  return Notify(id, 40000 + n % 1000, "fake-host", users);  // 8: too long to be read
}

// Every process of the library hears the discovery group: the victims, and
// this one through its good clients' engines.
TEST_F(HostileTest, ADatagramFloodKeepsTablesBoundedAndTheDirectoryReachable) {
  StartVictims();
  const std::uint64_t perSecond = Scaled(5000, 5), total = perSecond * 8;
  std::uint64_t sent = 0;
  const auto start = Clock::now();
  {
    kiv::testing::TestThread flood([&] {
      kiv::discoverytest::GroupPeer peer;
      for (std::uint64_t n = 0; n < total && Clock::now() < start + seconds(10);) {
        const double due = SecondsOf(Clock::now() - start) * perSecond;
        for (; n < due && n < total; ++n) sent += peer.Send(FloodDatagram(n));
        std::this_thread::sleep_for(milliseconds(1));
      }
    });
    std::vector<Peer> none;
    Hold(none, start + seconds(8));
  }
  const auto end = Clock::now();
  EXPECT_GE(sent, total / 4);  // the sender may fall behind on a loaded machine
  for (Victim* v : victims()) {
    // Tables filled to their limits: measured 12 MiB plain, up to 130 MiB
    // sanitized; CPU 0.12-0.28, at most one CPU for the discovery thread.
    v->ExpectWithstood(start, end, kSanitized ? 512 << 10 : 32 << 10, kSanitized ? 1.2 : 0.6);
  }
  const auto client = GetDiscoverClient();
  EXPECT_LE(client->DirectoryCount(), kiv::discovery::kMaxDirectories);
  EXPECT_GE(client->DirectoryCount(), kiv::discovery::kMaxDirectories / 2);
  EXPECT_LE(client->UserCount(), kiv::discovery::kMaxUsers);
  EXPECT_EQ(client->GetDirectoryHost("test-directory"), "127.0.0.1:29831");
  EXPECT_TRUE(client->TablesConsistent());
  // The directory still registers newcomers and tells its followers; callers
  // find it through discovery, and the victim through it.
  auto late = Serve("late", {"--service", "Fail"});
  EXPECT_TRUE(satellite_.process->WaitForLine(R"({"service":"Fail","satellite":"late","state":1})",
                                              kStartTime));
  EXPECT_EQ(Kiv({"call", "--to", "victim", "Echo", "7"}), "{\"statuses\":[0],\"values\":[7]}\n");
  EXPECT_EQ(Kiv({"discover", "--user", "ann", "--for", "5"}), "127.0.0.1:29831\n");
  late.reset();
  for (Victim* v : victims()) v->ExpectBackToBaseline();
}

}  // namespace

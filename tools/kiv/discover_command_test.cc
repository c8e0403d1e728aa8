// Runs the built kiv program's discover command inside this test's private
// network namespace (children inherit it) and plays the directories with
// raw datagrams on the discovery group over loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "testing/child_process.h"
#include "testing/group_peer.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kSearch[] = "SEARCH 1.0\r\nServer: Zib Kiv Directory\r\n\r\n";

// A NOTIFY from a directory on the default port.
std::string Notify(const std::string& id, const std::string& users) {
  return kiv::discoverytest::Notify(id, 29831, "h", users);
}

// A member of the default group on loopback: hears SEARCH, sends as a
// directory would.
class Directory {
 public:
  void Send(const std::string& datagram) { EXPECT_TRUE(peer_.Send(datagram)); }

  // True once a SEARCH arrives within the time-out.
  bool HearSearch(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string datagram;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0 || !peer_.Receive(datagram, static_cast<int>(left))) return false;
      if (datagram == kSearch) return true;
    }
  }

 private:
  kiv::discoverytest::GroupPeer peer_{1901};
};

// `kiv discover` with a store of its own that does not exist: no configured
// group, so the default one.
class Kiv : public kiv::testing::ChildProcess {
 public:
  explicit Kiv(std::vector<std::string> args)
      : ChildProcess(KIV_CLI_PATH, WithCommand(std::move(args)),
                     {{"KIV_REGISTRY", "/nonexistent/kiv_discover_test/registry.reg"}}) {}

  // The next output line, or "<none>" when none comes within the time-out.
  std::string ReadLine(int timeoutMs = 5000) {
    return WaitForLine("", std::chrono::milliseconds(timeoutMs)).value_or("<none>");
  }
  int Wait(int timeoutMs) {
    return ChildProcess::Wait(std::chrono::milliseconds(timeoutMs)).value_or(-1);
  }

 private:
  static std::vector<std::string> WithCommand(std::vector<std::string> args) {
    args.insert(args.begin(), "discover");
    return args;
  }
};

TEST(KivDiscover, PrintsOneJsonLinePerEventUntilStopped) {
  Directory directory;
  Kiv kiv({});
  ASSERT_TRUE(directory.HearSearch(5000));  // listening and joined
  directory.Send(Notify("dir1", "alice,bob"));
  directory.Send(Notify("dir2", "bob"));
  directory.Send(Notify("dir1", "alice carol"));
  directory.Send(kiv::discoverytest::ByeBye("dir2"));
  EXPECT_EQ(kiv.ReadLine(),
            R"({"event":"up","server":"dir1","users":["alice","bob"],"shutdown":false})");
  EXPECT_EQ(kiv.ReadLine(),
            R"({"event":"removeuser","server":"dir1","users":["bob"],"shutdown":false})");
  EXPECT_EQ(kiv.ReadLine(), R"({"event":"up","server":"dir2","users":["bob"],"shutdown":false})");
  EXPECT_EQ(kiv.ReadLine(),
            R"({"event":"adduser","server":"dir1","users":["carol"],"shutdown":false})");
  EXPECT_EQ(kiv.ReadLine(), R"({"event":"down","server":"dir2","users":["bob"],"shutdown":true})");
  kiv.Signal(SIGTERM);
  EXPECT_EQ(kiv.Wait(5000), 0);
  EXPECT_EQ(kiv.ReadLine(100), "<none>");
}

TEST(KivDiscover, ForEndsByItself) {
  Kiv kiv({"--for", "0.3"});
  EXPECT_EQ(kiv.Wait(5000), 0);
  EXPECT_EQ(kiv.ReadLine(100), "<none>");
}

TEST(KivDiscover, UserPrintsTheHostingDirectoryOrTimesOutWith4) {
  {
    Directory directory;
    Kiv kiv({"--user", "alice", "--for", "5"});
    ASSERT_TRUE(directory.HearSearch(5000));
    directory.Send(Notify("dir1", "bob"));
    directory.Send(Notify("dir2", "alice"));
    EXPECT_EQ(kiv.ReadLine(), "127.0.0.1:29831");
    EXPECT_EQ(kiv.Wait(5000), 0);
  }
  const auto started = Clock::now();
  Kiv missing({"--user", "nobody", "--for", "0.3"});
  EXPECT_EQ(missing.Wait(5000), 4);
  EXPECT_GE(Clock::now() - started, std::chrono::milliseconds(300));
  EXPECT_EQ(missing.ReadLine(100), "<none>");
}

TEST(KivDiscover, RefusesBadOptionsWith2) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--for"}, {"--for", "abc"}, {"--for", "-1"}, {"--user"}, {"extra"}}) {
    Kiv kiv(args);
    EXPECT_EQ(kiv.Wait(5000), 2) << ::testing::PrintToString(args);
  }
}

}  // namespace

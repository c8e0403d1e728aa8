// The built `kiv discover` in this test's private network (children inherit
// it), with directories played by raw datagrams on the discovery group.
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "testing/child_process.h"
#include "testing/group_peer.h"
#include "testing/wait.h"

namespace {

using kiv::discoverytest::Notify;
using kiv::testing::ChildProcess;
using std::chrono::milliseconds;

// `kiv discover` with a store that does not exist (the default group). A
// directory on the group sends `datagrams` once the program has asked: it
// listens by then.
std::unique_ptr<ChildProcess> Discover(std::vector<std::string> args,
                                       const std::vector<std::string>& datagrams = {}) {
  kiv::discoverytest::GroupPeer group(1901);
  args.insert(args.begin(), "discover");
  auto kiv = std::make_unique<ChildProcess>(
      KIV_CLI_PATH, args, std::map<std::string, std::string>{{"KIV_REGISTRY", "/nonexistent"}});
  if (datagrams.empty()) return kiv;
  std::string heard;
  EXPECT_TRUE(kiv::testing::WaitUntil(
      [&] { return group.Receive(heard, 100) && heard == kiv::discovery::kSearchDatagram; }));
  for (const std::string& datagram : datagrams) EXPECT_TRUE(group.Send(datagram));
  return kiv;
}

std::string NextLine(ChildProcess& kiv, int timeoutMs = 5000) {
  return kiv.WaitForLine("", milliseconds(timeoutMs)).value_or("<none>");
}

TEST(KivDiscover, PrintsEachEventAsItHappensUntilStopped) {
  const auto kiv =
      Discover({}, {Notify("dir1", 29831, "h", "alice,bob"), Notify("dir2", 29831, "h", "bob"),
                    Notify("dir1", 29831, "h", "alice carol"), kiv::discoverytest::ByeBye("dir2")});
  std::vector<std::string> lines;
  for (int i = 0; i < 5; ++i) lines.push_back(NextLine(*kiv));
  EXPECT_EQ(lines, (std::vector<std::string>{
                       R"({"event":"up","server":"dir1","users":["alice","bob"],"shutdown":false})",
                       R"({"event":"removeuser","server":"dir1","users":["bob"],"shutdown":false})",
                       R"({"event":"up","server":"dir2","users":["bob"],"shutdown":false})",
                       R"({"event":"adduser","server":"dir1","users":["carol"],"shutdown":false})",
                       R"({"event":"down","server":"dir2","users":["bob"],"shutdown":true})"}));
  kiv->Signal(SIGTERM);
  EXPECT_EQ(kiv->Wait(milliseconds(5000)), 0);
  EXPECT_EQ(NextLine(*kiv, 100), "<none>");
}

TEST(KivDiscover, ExitStatuses) {
  // A user found prints where: tools/kivd's program test, with a real directory.
  EXPECT_GE(
      kiv::testing::ElapsedMillis([] {
        EXPECT_EQ(Discover({"--user", "nobody", "--for", "0.3"})->Wait(milliseconds(5000)), 4);
      }),
      300);
  const auto forAWhile = Discover({"--for", "0.3"});
  EXPECT_EQ(forAWhile->Wait(milliseconds(5000)), 0);
  EXPECT_EQ(NextLine(*forAWhile, 100), "<none>");
}

}  // namespace

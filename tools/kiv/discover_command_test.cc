// Runs the built kiv program's discover command inside this test's private
// network namespace (children inherit it) and plays the directories with
// raw datagrams on the discovery group over loopback.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "discovery/group_peer.h"

extern char** environ;

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

// The program with its standard output on a pipe we read line by line.
class Kiv {
 public:
  explicit Kiv(const std::vector<std::string>& args) {
    char pattern[] = "/tmp/kiv_discover_program_test.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    folder_ = pattern;
    // A store of its own: no configured group, so the default one.
    ::setenv("KIV_REGISTRY", (folder_ + "/registry.reg").c_str(), 1);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe failed";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, (folder_ + "/err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> all{KIV_CLI_PATH, "discover"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, KIV_CLI_PATH, &actions, nullptr, argv.data(), environ) != 0) {
      ADD_FAILURE() << "cannot start " << KIV_CLI_PATH;
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
  }
  ~Kiv() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait(5000);
    }
    ::close(out_);
    ::unsetenv("KIV_REGISTRY");
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  // The next line of output without its line feed, or "<none>" when none
  // comes within the time-out (or the output ended).
  std::string ReadLine(int timeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const std::size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd watched{out_, POLLIN, 0};
      if (left <= 0 || ::poll(&watched, 1, static_cast<int>(left)) != 1) return "<none>";
      char buffer[4096];
      const ssize_t got = ::read(out_, buffer, sizeof buffer);
      if (got <= 0) return "<none>";
      pending_.append(buffer, static_cast<std::size_t>(got));
    }
  }

  void Signal(int signal) { ::kill(pid_, signal); }

  // The exit status, or -1 when the program has not ended within the time-out.
  int Wait(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() >= deadline) return -1;
      ::poll(nullptr, 0, 5);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  std::string folder_;
  pid_t pid_ = -1;
  int out_ = -1;
  std::string pending_;
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

#include "testing/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "testing/spawn_util.h"

namespace kiv::testing {
namespace {

constexpr auto kGracePeriod = std::chrono::seconds(10);

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
  return static_cast<int>(std::max<long long>(left, 0));
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& environment) {
  char pattern[] = "/tmp/kiv_child_err.XXXXXX";
  const int errFd = ::mkstemp(pattern);
  if (errFd < 0) return;
  ::close(errFd);
  errPath_ = pattern;
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_TRUNC, 0);
  // The test may block signals (a test main's mask); the program gets none.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int spawned = SpawnProgram(&pid, path, args, environment, &actions, &attributes);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    return;
  }
  pid_ = pid;
  outFd_ = out[0];
  pidFd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
}

ChildProcess::~ChildProcess() {
  if (started() && !status_) {
    Signal(SIGTERM);
    if (!Wait(kGracePeriod)) Kill();
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (pidFd_ >= 0) ::close(pidFd_);
  if (!errPath_.empty()) ::unlink(errPath_.c_str());
}

std::optional<std::string> ChildProcess::WaitForLine(std::string_view prefix,
                                                     std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    while (nextLine_ < lines_.size()) {
      const std::string& line = lines_[nextLine_++];
      if (line.starts_with(prefix)) return line;
    }
    if (!ReadMore(deadline)) return std::nullopt;
  }
}

bool ChildProcess::ReadMore(std::chrono::steady_clock::time_point deadline) {
  if (outFd_ < 0) return false;
  pollfd watched{outFd_, POLLIN, 0};
  const int ready = ::poll(&watched, 1, MillisecondsUntil(deadline));
  if (ready < 0 && errno == EINTR) return true;
  if (ready <= 0) return false;
  char buffer[4096];
  const ssize_t got = ::read(outFd_, buffer, sizeof buffer);
  if (got <= 0) {
    if (got < 0 && errno == EINTR) return true;
    ::close(outFd_);
    outFd_ = -1;
    if (!pending_.empty()) lines_.push_back(std::exchange(pending_, {}));
    return nextLine_ < lines_.size();
  }
  pending_.append(buffer, static_cast<std::size_t>(got));
  for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
    lines_.push_back(pending_.substr(0, end));
    pending_.erase(0, end + 1);
  }
  return true;
}

std::string ChildProcess::Errors() const {
  return ReadWholeFile(errPath_);
}

void ChildProcess::Signal(int signal) {
  if (started() && !status_) ::kill(pid_, signal);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (!started() || status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
      return status_;
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    const int left = MillisecondsUntil(deadline);
    if (left == 0) return std::nullopt;
    // The pid descriptor turns readable when the program ends; without one,
    // look again every 10 ms.
    pollfd watched{pidFd_, POLLIN, 0};
    ::poll(&watched, 1, pidFd_ >= 0 ? left : std::min(left, 10));
  }
}

void ChildProcess::Kill() {
  if (!started() || status_) return;
  ::kill(pid_, SIGKILL);
  Wait(kGracePeriod);
}

}  // namespace kiv::testing

#include "testing/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <utility>

extern char** environ;

namespace kiv::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kGracePeriod = std::chrono::seconds(10);

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t got;
       (got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0;)
    text.append(buffer, static_cast<std::size_t>(got));
  return text;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

// Starts path on the given standard streams with the test's environment plus
// `extra` (extra wins) and no blocked signal (a test main may block some);
// -1 when it cannot start.
pid_t Spawn(const std::string& path, const std::vector<std::string>& args,
            const std::map<std::string, std::string>& extra, const int (&streams)[3]) {
  std::vector<std::string> argTexts{path}, envTexts;
  argTexts.insert(argTexts.end(), args.begin(), args.end());
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (!extra.contains(text.substr(0, text.find('=')))) envTexts.push_back(text);
  }
  for (const auto& [name, value] : extra) envTexts.push_back(name + "=" + value);
  std::vector<char*> argv = Pointers(argTexts), envp = Pointers(envTexts);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd) posix_spawn_file_actions_adddup2(&actions, streams[fd], fd);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int failed =
      ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return failed != 0 ? -1 : pid;
}

}  // namespace

ProgramOutcome RunProgram(const std::string& path, const std::vector<std::string>& args,
                          const std::string& input,
                          const std::map<std::string, std::string>& environment) {
  int streams[3];  // files without a name
  for (int& fd : streams) fd = ::memfd_create("kiv_test", MFD_CLOEXEC);
  ProgramOutcome outcome;
  int status = 0;
  if (::pwrite(streams[0], input.data(), input.size(), 0) == static_cast<ssize_t>(input.size())) {
    const pid_t pid = Spawn(path, args, environment, streams);
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
      outcome.status = WEXITSTATUS(status);
  }
  outcome.out = ReadAll(streams[1]);
  outcome.err = ReadAll(streams[2]);
  for (const int fd : streams) ::close(fd);
  return outcome;
}

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           const std::map<std::string, std::string>& environment) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  errFd_ = ::memfd_create("kiv_test", MFD_CLOEXEC);
  pid_ = Spawn(path, args, environment, {in, out[1], errFd_});
  ::close(in);
  ::close(out[1]);
  outFd_ = out[0];
}

ChildProcess::~ChildProcess() {
  Signal(SIGTERM);
  if (!Wait(kGracePeriod)) Kill();
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

std::optional<std::string> ChildProcess::WaitForLine(std::string_view prefix,
                                                     std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  do {
    while (!unread_.empty()) {
      std::string line = std::move(unread_.front());
      unread_.pop_front();
      if (line.starts_with(prefix)) return line;
    }
  } while (ReadMore(deadline));
  return std::nullopt;
}

bool ChildProcess::ReadMore(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd watched{outFd_, POLLIN, 0};
  const int ready = outFd_ < 0 ? 0 : ::poll(&watched, 1, std::max<int>(left.count(), 0));
  if (ready < 0 && errno == EINTR) return true;
  if (ready <= 0) return false;
  char buffer[4096];
  const ssize_t got = ::read(outFd_, buffer, sizeof buffer);
  if (got <= 0) {  // the end; its last line may lack the newline
    ::close(std::exchange(outFd_, -1));
    if (!pending_.empty()) unread_.push_back(std::exchange(pending_, {}));
    return !unread_.empty();
  }
  pending_.append(buffer, static_cast<std::size_t>(got));
  for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
    unread_.push_back(pending_.substr(0, end));
    pending_.erase(0, end + 1);
  }
  return true;
}

std::string ChildProcess::Errors() const {
  return ReadAll(errFd_);
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0 && !status_) ::kill(pid_, signal);
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (pid_ > 0 && !status_) {
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    } else if (done < 0 || Clock::now() >= deadline) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return status_;
}

void ChildProcess::Kill() {
  Signal(SIGKILL);
  Wait(kGracePeriod);
}

}  // namespace kiv::testing

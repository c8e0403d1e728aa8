#include "tests/soak/supervisor.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kiv::soak {
namespace {

std::atomic<pid_t> gChild{0};

extern "C" void PassOn(int signal) {
  if (const pid_t child = gChild.load(); child > 0) ::kill(child, signal);
}

[[noreturn]] void Supervise(pid_t child) {
  gChild = child;
  struct sigaction passOn {};
  passOn.sa_handler = PassOn;
  ::sigaction(SIGINT, &passOn, nullptr);
  ::sigaction(SIGTERM, &passOn, nullptr);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  ::kill(-child, SIGKILL);  // anything the run left behind
  std::_Exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

}  // namespace

bool RunUnderSupervisor(std::string* error) {
  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    *error = std::string("cannot fork the supervised run: ") + std::strerror(errno);
    return false;
  }
  if (child > 0) {
    ::setpgid(child, child);  // either side may come first
    Supervise(child);
  }
  ::setpgid(0, 0);
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != parent) std::_Exit(1);  // the parent is already gone
  return true;
}

}  // namespace kiv::soak

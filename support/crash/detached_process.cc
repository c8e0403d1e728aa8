#include "support/crash/detached_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace kiv {

bool StartDetachedProcess(const std::string& program, const std::vector<std::string>& arguments) {
  // Everything the children need is built before fork: between fork and exec
  // a child of a threaded process may only make async-signal-safe calls.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  const pid_t middle = ::fork();
  if (middle < 0) return false;
  if (middle == 0) {
    const pid_t grandchild = ::fork();
    if (grandchild == 0) {
      ::close_range(3, ~0U, 0);  // no inherited handles
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::_exit(grandchild < 0 ? 1 : 0);
  }
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace kiv

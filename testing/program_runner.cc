#include "testing/program_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "testing/spawn_util.h"

namespace kiv::testing {

namespace {

// A file that exists for one run and is removed afterwards.
class ScratchFile {
 public:
  ScratchFile() {
    char pattern[] = "/tmp/kiv_program.XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd >= 0) ::close(fd);
    path_ = pattern;
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile() { ::unlink(path_.c_str()); }
  const char* path() const { return path_.c_str(); }
  std::string Read() const { return ReadWholeFile(path_); }

 private:
  std::string path_;
};

}  // namespace

ProgramOutcome RunProgram(const std::string& path, const std::vector<std::string>& args,
                          const std::string& input,
                          const std::map<std::string, std::string>& environment) {
  ScratchFile in, out, err;
  std::ofstream(in.path(), std::ios::binary) << input;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.path(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.path(), O_WRONLY | O_TRUNC, 0);
  posix_spawn_file_actions_addopen(&actions, 2, err.path(), O_WRONLY | O_TRUNC, 0);
  ProgramOutcome outcome;
  pid_t pid = -1;
  if (SpawnProgram(&pid, path, args, environment, &actions, nullptr) == 0) {
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
      outcome.status = WEXITSTATUS(status);
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  outcome.out = out.Read();
  outcome.err = err.Read();
  return outcome;
}

}  // namespace kiv::testing

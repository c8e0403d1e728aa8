#include "tests/support/program_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

extern char** environ;

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
  std::string Read() const {
    std::ifstream file(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
  }

 private:
  std::string path_;
};

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const auto equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : extra) merged[name] = value;
  std::vector<std::string> out;
  for (const auto& [name, value] : merged) out.push_back(name + "=" + value);
  return out;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

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
  std::vector<std::string> argvTexts{path};
  argvTexts.insert(argvTexts.end(), args.begin(), args.end());
  std::vector<std::string> envTexts = MergedEnvironment(environment);
  std::vector<char*> argv = Pointers(argvTexts);
  std::vector<char*> envp = Pointers(envTexts);
  ProgramOutcome outcome;
  pid_t pid = -1;
  if (::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0) {
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

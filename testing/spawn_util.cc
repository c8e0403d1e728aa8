#include "testing/spawn_util.h"

#include <fstream>
#include <iterator>

extern char** environ;

namespace kiv::testing {
namespace {

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

// The null-terminated pointer array exec wants; valid while `texts` lives.
std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& text : texts) out.push_back(text.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace

int SpawnProgram(pid_t* pid, const std::string& path, const std::vector<std::string>& args,
                 const std::map<std::string, std::string>& extra,
                 const posix_spawn_file_actions_t* actions, const posix_spawnattr_t* attributes) {
  std::vector<std::string> argvTexts{path};
  argvTexts.insert(argvTexts.end(), args.begin(), args.end());
  std::vector<std::string> envTexts = MergedEnvironment(extra);
  std::vector<char*> argv = Pointers(argvTexts);
  std::vector<char*> envp = Pointers(envTexts);
  return ::posix_spawn(pid, path.c_str(), actions, attributes, argv.data(), envp.data());
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

}  // namespace kiv::testing

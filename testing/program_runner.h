// Runs a built program to completion for black-box tests: arguments,
// standard input and extra environment in; exit status and both output
// streams out. The environment of the test process is inherited.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kiv::testing {

struct ProgramOutcome {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

ProgramOutcome RunProgram(const std::string& path, const std::vector<std::string>& args,
                          const std::string& input = "",
                          const std::map<std::string, std::string>& environment = {});

}  // namespace kiv::testing

// kivd's command line. Pure: parsing reads nothing but its arguments and
// the host name it is given; a wrong command line throws OptionsError with
// one line naming the problem.
#pragma once

#include <chrono>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "directory/directory_config.h"

namespace kiv::directory {

struct KivdOptions : DirectoryConfig {
  bool help = false;
};

class OptionsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

KivdOptions ParseKivdOptions(std::span<const std::string> args, const std::string& hostName);

extern const char kKivdUsage[];

}  // namespace kiv::directory

// kivd's command line. Pure: parsing reads nothing but its arguments and
// the host name it is given; a wrong command line throws OptionsError with
// one line naming the problem.
#pragma once

#include <chrono>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace kiv::directory {

struct KivdOptions {
  std::string serverId;              // default: the host name
  std::vector<std::string> users;    // default: none
  std::vector<std::string> aliases;  // default: the host name
  std::chrono::milliseconds pingInterval{10000};
  std::chrono::milliseconds notifyInterval{15000};
  bool help = false;
};

class OptionsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

KivdOptions ParseKivdOptions(std::span<const std::string> args, const std::string& hostName);

extern const char kKivdUsage[];

}  // namespace kiv::directory

// kivd's command line. Pure: parsing reads nothing but its arguments and
// the host name it is given; a wrong command line throws OptionsError with
// one line naming the problem.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "directory/directory_config.h"
#include "support/net/cidr.h"

namespace kiv::directory {

struct KivdOptions : DirectoryConfig {
  bool help = false;
  bool version = false;
  // --log-file[=PATH]: log into a file instead of standard error; an empty
  // path means the default file.
  std::optional<std::string> logFile;
  // --listen (network byte order); unset: the store's ListenAddress, else all.
  std::optional<IPv4Address> listenAddress;
  // Every --allow's networks together; unset: the store's AllowedPeers, else all.
  std::optional<std::vector<Ipv4Network>> allowedPeers;
  // --http [ADDRESS:]PORT: where the status page and metrics are served;
  // unset: not served.
  struct HttpEndpoint {
    IPv4Address address = 0;  // network byte order; loopback unless given
    std::uint16_t port = 0;
  };
  std::optional<HttpEndpoint> http;
};

class OptionsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

KivdOptions ParseKivdOptions(std::span<const std::string> args, const std::string& hostName);

extern const char kKivdUsage[];

}  // namespace kiv::directory

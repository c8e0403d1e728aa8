// What a directory is told at start: who it is, whom it hosts, and how often
// it pings its satellites and announces itself. Plain data.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kiv::directory {

struct DirectoryConfig {
  std::string serverId;              // default: the host name
  std::vector<std::string> users;    // default: none
  std::vector<std::string> aliases;  // default: the host name
  std::chrono::milliseconds pingInterval{10000};
  std::chrono::milliseconds notifyInterval{15000};
};

}  // namespace kiv::directory

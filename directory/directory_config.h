// What a directory is told at start: who it is, whom it hosts, how often it
// pings its satellites and announces itself, and how it guards names and
// remembers its table. Plain data.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kiv::directory {

struct DirectoryConfig {
  std::string serverId;              // default: the host name
  std::vector<std::string> users;    // default: none
  std::vector<std::string> aliases;  // default: the host name
  std::chrono::milliseconds pingInterval{10000};
  std::chrono::milliseconds notifyInterval{15000};
  // The old rule: a registration of a held name replaces the holder even
  // when it is alive.
  bool allowTakeover = false;
  // Where the table is kept across restarts; empty: nowhere.
  std::string tableFile;
  // The address at which the directory reaches its own port to register its
  // services: loopback, unless it listens on one address only.
  std::string selfAddress = "127.0.0.1";
  // The TCP port it serves on; satellites must then name it (host:port).
  std::uint16_t port = 29831;
};

}  // namespace kiv::directory

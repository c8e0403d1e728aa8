// One transport under comparison: an echo server in this process and
// kMaxClients clients, each with a connection of its own that lives as long
// as the transport is started. Start and Stop from the benchmark's thread;
// Prepare and Call for one client from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kiv::compare {

inline constexpr int kMaxClients = 8;

class EchoTransport {
 public:
  virtual ~EchoTransport() = default;

  // Starts the server side and every client; false with a reason.
  virtual bool Start(std::string* error) = 0;
  // Ends the clients, then the server; idempotent, also after a failed Start.
  virtual void Stop() = 0;
  // Builds the client's request payload of `bytes` bytes.
  virtual void Prepare(int client, std::size_t bytes) = 0;
  // One exchange of the client's payload stamped with `sequence`, with the
  // echo checked: nullptr, or a static text saying what went wrong.
  virtual const char* Call(int client, std::uint64_t sequence) = 0;
};

}  // namespace kiv::compare

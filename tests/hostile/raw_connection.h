// A raw TCP connection to a loopback port, as a hostile peer holds it: the
// connect and every write never block, and what the victim sends back (a
// refusal, its close) is collected whenever the connection is polled. Owns
// its descriptor; one thread uses a connection at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kiv::hostile {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

class RawConnection {
 public:
  // Starts a non-blocking connect to 127.0.0.1:port; failed() tells when
  // even that could not start.
  explicit RawConnection(std::uint16_t port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  int fd() const { return fd_; }
  bool failed() const { return fd_ < 0; }
  // Waits until the connect completes; false on failure or time-out.
  bool AwaitConnected(Clock::time_point deadline);
  Clock::time_point connectedAt() const { return connectedAt_; }

  // Sends what the socket takes now; false once the victim has closed or
  // reset the connection (which is then recorded).
  bool SendSome(std::span<const std::uint8_t> bytes, std::size_t* sent);
  // Sends all bytes, waiting for room until the deadline.
  bool SendAll(std::span<const std::uint8_t> bytes, Clock::time_point deadline);

  // Takes in what has arrived without waiting and notes a close or reset.
  void Drain();
  const Bytes& received() const { return received_; }
  bool closedByVictim() const { return closedByVictim_; }
  Clock::time_point closedAt() const { return closedAt_; }

  // Orderly close, or a reset (SO_LINGER 0) that skips the handshake.
  void Close();
  void Reset();

 private:
  void NoteClosed();

  int fd_ = -1;
  Clock::time_point connectedAt_{};
  Bytes received_;
  bool closedByVictim_ = false;
  Clock::time_point closedAt_{};
};

using Connections = std::vector<std::unique_ptr<RawConnection>>;

// Opens `count` connections one after the other, `gap` apart: the victim's
// accept backlog holds only 10, and a handshake dropped from a full queue
// costs a second. Those that did not connect by the deadline are left out.
Connections OpenConnections(std::uint16_t port, std::size_t count, Clock::time_point deadline,
                            std::chrono::milliseconds gap = std::chrono::milliseconds(1));

// Polls every open connection (Drain on each that turned readable) until
// `done` holds or the deadline passes; answers `done` at the end.
template <class Done>
bool PollUntil(const Connections& connections, Done done, Clock::time_point deadline);

// One poll round over the open connections, waiting at most timeoutMs (all
// of it when none is open).
void PollOnce(const Connections& connections, int timeoutMs);

template <class Done>
bool PollUntil(const Connections& connections, Done done, Clock::time_point deadline) {
  while (!done()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return done();
    PollOnce(connections, static_cast<int>(std::min<long long>(left, 100)));
  }
  return true;
}

// Connections the victim closed so far.
std::size_t CountClosed(const Connections& connections);

}  // namespace kiv::hostile

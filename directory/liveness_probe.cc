#include "directory/liveness_probe.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "engine/ping.h"
#include "engine/wire/socket_stream.h"
#include "kiv/status.h"
#include "support/net/net.h"

namespace kiv::directory {
namespace {

// ConnectWithTimeout waits whole seconds: this gives one.
constexpr std::int32_t kConnectMs = 0;

}  // namespace

bool AnswersPing(const std::string& host, std::uint16_t port, std::int32_t id,
                 std::chrono::milliseconds answerTime) {
  const ScopedSocket socket(ConnectWithTimeout(host, port, kConnectMs));
  if (!socket.valid()) return false;
  const auto answerMs = static_cast<std::int32_t>(std::max<long long>(answerTime.count(), 1));
  if (SetSendTimeout(socket.get(), answerMs) != 0 || SetRecvTimeout(socket.get(), answerMs) != 0) {
    return false;
  }
  SocketStream stream(socket.get(), 16);
  std::int32_t result = 0;
  std::optional<std::uint32_t> status;
  const bool exchanged = engine::ExchangePing(stream, id, result, status);
  return exchanged && status && static_cast<std::int32_t>(*status) == KIV_ALIVE;
}

std::vector<bool> ProbeAll(const std::vector<SatelliteRecord>& satellites) {
  std::vector<char> alive(satellites.size(), 0);
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t i = next++; i < satellites.size(); i = next++) {
      const SatelliteRecord& record = satellites[i];
      try {
        alive[i] = AnswersPing(record.host, record.port, record.id) ? 1 : 0;
      } catch (const std::bad_alloc&) {
        // Out of memory on a helper thread: counted as no answer, not fatal.
      }
    }
  };
  std::vector<std::jthread> helpers;
  const std::size_t wanted = std::min(satellites.size(), kMaxParallelProbes);
  for (std::size_t i = 1; i < wanted; ++i) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer helpers; this thread still probes every satellite left
    }
  }
  work();
  helpers.clear();  // joins
  return {alive.begin(), alive.end()};
}

}  // namespace kiv::directory

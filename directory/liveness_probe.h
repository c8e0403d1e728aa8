// Asks satellites whether they are alive with the library's ping, each
// exchange bounded by a short time-out of its own (the engine's pings wait
// up to 30 s, too long for a registration or a restart to wait on). Any
// thread; nothing is thrown but std::bad_alloc.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "directory/directory_table.h"

namespace kiv::directory {

// Connecting takes at most 1 s; each direction of the exchange this long.
constexpr std::chrono::milliseconds kProbeConnectTime{1000};
constexpr std::chrono::milliseconds kProbeAnswerTime{1000};
constexpr std::size_t kMaxParallelProbes = 16;

// True when the satellite at host:port answers that it holds this id.
// Connecting takes at most kProbeConnectTime, each direction answerTime.
bool AnswersPing(const std::string& host, std::uint16_t port, std::int32_t id,
                 std::chrono::milliseconds answerTime = kProbeAnswerTime);

// AnswersPing for each satellite, up to kMaxParallelProbes at a time; the
// answers in the satellites' order.
std::vector<bool> ProbeAll(const std::vector<SatelliteRecord>& satellites);

}  // namespace kiv::directory

// Pings every satellite once per interval, several at a time, and reports
// each outcome (what a miss means is the reporter's business). The owner's
// thread starts and stops it; the functions run on the pinger's threads;
// Stop waits for pings under way (bounded by the engine's time-outs).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "directory/directory_table.h"
#include "support/threads/cond.h"
#include "support/threads/thread.h"

namespace kiv::directory {

class SatellitePinger {
 public:
  // The satellites to ping this round.
  using Targets = std::function<std::vector<SatelliteRecord>()>;
  // true when the satellite answered alive; may block.
  using Ping = std::function<bool(const SatelliteRecord&)>;
  using Report = std::function<void(const SatelliteRecord&, bool answered)>;

  static constexpr int kMaxParallelPings = 8;

  SatellitePinger(std::chrono::milliseconds interval, Targets targets, Ping ping, Report report);
  ~SatellitePinger();  // Stop
  SatellitePinger(const SatellitePinger&) = delete;
  SatellitePinger& operator=(const SatellitePinger&) = delete;

  // Throws std::exception when the thread cannot start.
  void Start();
  void Stop();
  std::uint64_t Rounds() const { return rounds_.load(); }

 private:
  void* Run(void*);
  void PingRound();
  void* PingWorker(void*);

  const std::chrono::milliseconds interval_;
  const Targets targets_;
  const Ping ping_;
  const Report report_;
  PCondFlag stop_;
  std::unique_ptr<PThread> thread_;
  std::atomic<std::uint64_t> rounds_{0};
  // The round under way: its targets, outcomes and the next one to take.
  std::vector<SatelliteRecord> round_;
  std::vector<char> answered_;
  std::atomic<std::size_t> nextTarget_{0};
};

}  // namespace kiv::directory

// Pings every satellite once per interval and reports each outcome (what a
// miss means is the reporter's business). Each ping is bounded and enough
// run at once that a round ends within the interval however many
// satellites stay silent, so the live ones are pinged every interval. The
// owner's thread starts and stops it; the functions run on the pinger's
// threads; Stop waits for pings under way (each bounded by PingBound).
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
  // true when the satellite answered alive; connects within
  // kProbeConnectTime and then waits at most answerTime.
  using Ping = std::function<bool(const SatelliteRecord&, std::chrono::milliseconds answerTime)>;
  using Report = std::function<void(const SatelliteRecord&, bool answered)>;

  // At least this many pings at once (fewer only for fewer satellites).
  static constexpr std::size_t kMinPingsInFlight = 8;
  // A satellite gets half the interval to answer, within these bounds: a
  // slow but live one still answers (three misses in a row drop it), a
  // silent one is given up before the next round.
  static constexpr std::chrono::milliseconds kMinAnswerTime{100};
  static constexpr std::chrono::milliseconds kMaxAnswerTime{5000};

  static std::chrono::milliseconds AnswerTime(std::chrono::milliseconds interval);
  // The longest one ping may take: connecting, then sending and receiving.
  static std::chrono::milliseconds PingBound(std::chrono::milliseconds interval);
  // Pings at once for `targets` satellites: enough that the round's waves
  // of pings take at most half the interval (one wave when a ping's bound
  // exceeds that, i.e. every ping at once).
  static std::size_t PingsInFlight(std::size_t targets, std::chrono::milliseconds interval);

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

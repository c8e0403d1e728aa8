// The fault schedule: at seeded random moments it stops kivd or a satellite
// (SIGKILL or SIGTERM), restarts it and checks that every running satellite
// is listed again in time. Runs on its own thread until its end time or an
// abort, and alone starts and stops the fleet's processes meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "support/threads/thread.h"
#include "tests/soak/fleet.h"
#include "tests/soak/outage_log.h"
#include "tests/soak/registration_check.h"

namespace kiv::soak {

struct ChaosSettings {
  Clock::duration pauseMin{};  // between two disturbances
  Clock::duration pauseMax{};
  Clock::duration downMax{};                // how long a stopped process stays down
  Clock::duration relistBound{};            // every satellite listed again within this
  Clock::duration relistAfterCrashBound{};  // the same after the directory's SIGKILL
  Clock::duration observeLimit{};           // how long to keep looking past the bound
};

// Per stop signal ("SIGKILL", "SIGTERM").
struct RestartStats {
  std::uint64_t restarts = 0;
  std::uint64_t relistedInBound = 0;  // restarts after which all were listed in time
  double longestRelist = 0;           // seconds from the restart to a complete listing
  double longestStop = 0;             // seconds from the signal to the end
};

struct ChaosStats {
  std::map<std::string, RestartStats> directory;
  std::map<std::string, RestartStats> satellites;
};

class Chaos {
 public:
  // `driverSatellites` names the driver's own satellites with their ports:
  // they must be listed again as well.
  Chaos(Fleet& fleet, RegistrationCheck& check, OutageLog& outages, Verdict& verdict,
        Journal& journal, std::function<Listing()> driverSatellites, ChaosSettings settings,
        std::uint64_t seed);
  ~Chaos();
  Chaos(const Chaos&) = delete;
  Chaos& operator=(const Chaos&) = delete;

  // Starts the thread; it begins no disturbance after `until`.
  void Start(Clock::time_point until);
  // Waits at most `timeout` for the thread to finish its last disturbance;
  // true once it has.
  bool WaitFinished(std::chrono::milliseconds timeout);
  void Join();
  // Only after Join.
  const ChaosStats& stats() const { return stats_; }

  // Everything that should be listed now: the running satellites and the
  // driver's own. Only on the thread that owns the fleet.
  Listing Expected() const;

 private:
  void* Run(void*);
  // Waits, looking after the fleet; false when the run was aborted.
  bool Pause(Clock::duration length);
  Clock::duration Between(Clock::duration low, Clock::duration high);
  // Stops member with signal, keeps it down, starts it and checks the list.
  void Disturb(std::size_t member, int signal);
  // Starts members that ended unasked, so that a kept-going run goes on.
  void Restore();

  Fleet& fleet_;
  RegistrationCheck& check_;
  OutageLog& outages_;
  Verdict& verdict_;
  Journal& journal_;
  const std::function<Listing()> driverSatellites_;
  const ChaosSettings settings_;
  std::mt19937_64 random_;
  Clock::time_point until_;
  std::unique_ptr<PThread> thread_;
  PCondFlag finished_;
  ChaosStats stats_;
};

}  // namespace kiv::soak

// One caller thread with its own satellite ("soak-callerN"): calls Echo on
// random satellites (sometimes ALL) with a new value each time, judges every
// answer, counts failures as excused or not, and shows the watchdog the call
// in flight. Connect, Start and Stop belong to the owner's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "support/threads/cond.h"
#include "support/threads/thread.h"
#include "tests/soak/call_tally.h"
#include "tests/soak/outage_log.h"
#include "tests/soak/plain_satellite.h"
#include "tests/soak/verdict.h"

namespace kiv::soak {

struct CallerContext {
  CallTally& tally;
  OutageLog& outages;
  Verdict& verdict;
  std::vector<std::string> satellites;  // the names calls go to
};

struct CallInFlight {
  std::string caller;
  std::string destination;
  std::int64_t counter = 0;
  Clock::time_point started;
};

class Caller {
 public:
  Caller(int index, std::uint64_t seed, const CallerContext& context);
  // Stops the thread if it runs; the satellite then disconnects.
  ~Caller();
  Caller(const Caller&) = delete;
  Caller& operator=(const Caller&) = delete;

  // Connects the satellite to the directory; KivSatellite::Connect's code.
  std::int32_t Connect(const std::u16string& directory);
  void Start();
  // Lets the current call finish, then ends and joins the thread.
  void Stop();
  // After Stop: leaves the directory.
  void Disconnect() { satellite_.Disconnect(); }

  // The call now running, if any; any thread.
  std::optional<CallInFlight> InFlight() const;
  const std::string& name() const { return name_; }
  std::uint32_t port() const { return satellite_.getSatellitePort(); }

 private:
  void* Run(void*);
  void CallOnce();
  std::string ChooseDestination();

  const std::int32_t index_;
  const std::string name_;
  CallerContext context_;
  std::mt19937_64 random_;
  std::int64_t counter_ = 0;
  PlainSatellite satellite_;
  std::unique_ptr<PThread> thread_;
  PCondFlag stop_;
  mutable PMutex inFlightLock_;
  std::optional<CallInFlight> inFlight_;
};

}  // namespace kiv::soak

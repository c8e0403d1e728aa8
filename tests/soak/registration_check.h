// Whether the directory lists every running satellite: asks it for its
// table ("ListSatellites") through a satellite of the driver's own
// ("soak-observer") and compares names and ports, polling until all are
// there or the time is up. One thread uses an object at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/soak/journal.h"
#include "tests/soak/plain_satellite.h"
#include "tests/soak/verdict.h"

namespace kiv::soak {

using Listing = std::map<std::string, std::uint32_t>;  // satellite name -> port

// Expected satellites the listing lacks, or lists at another port.
std::vector<std::string> MissingFrom(const Listing& expected, const Listing& listed);

struct ListedOutcome {
  bool complete = false;
  double seconds = 0;                // from `since` to the first complete listing, or to giving up
  std::vector<std::string> missing;  // at the last look
};

class RegistrationCheck {
 public:
  explicit RegistrationCheck(Verdict& verdict) : verdict_(verdict) {}

  std::int32_t Connect(const std::u16string& directory);
  void Disconnect() { satellite_.Disconnect(); }
  const std::string& name() const { return name_; }
  std::uint32_t port() const { return satellite_.getSatellitePort(); }

  // The directory's table; nothing when it gave none.
  std::optional<Listing> List();
  // Looks every kPollInterval until the listing holds everything `expected`
  // returns, `limit` after `since` at most; `between` runs between looks.
  // An abort of the run ends the wait early (complete = false).
  ListedOutcome AwaitListed(const std::function<Listing()>& expected, Clock::time_point since,
                            Clock::duration limit, const std::function<void()>& between);

 private:
  Verdict& verdict_;
  const std::string name_ = "soak-observer";
  PlainSatellite satellite_;
};

}  // namespace kiv::soak

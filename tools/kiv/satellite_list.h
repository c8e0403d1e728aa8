// The directory's table as kiv list and kiv wait show it: one request
// ("ListSatellites", which does not register the caller), the filters, and
// the JSON form of a satellite, whose field names scripts rely on.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "directory/directory_table.h"
#include "tools/kiv/caller_engine.h"
#include "tools/kiv/json_reader.h"

namespace kiv::cli {

// Every satellite offers the library's own listener service; it says
// nothing about what the satellite is for, so lists leave it out unless
// asked.
inline constexpr char16_t kInternalService[] = u"OnServiceAvailabilityChanged";

// What one ask of the directory brought.
struct SatelliteListing {
  std::int32_t result = 0;  // 0, or the code of the failed request
  std::vector<directory::SatelliteRecord> satellites;
  std::optional<std::string> unreadable;  // set when the answer had the wrong shape
};

SatelliteListing ListSatellites(const CallerEngine& engine);

// Whether the record offers `service`, compared as the directory compares
// service names (ASCII case ignored).
bool Offers(const directory::SatelliteRecord& record, const std::u16string& service);

// Drops the internal service from every record unless allServices.
void HideInternalService(std::vector<directory::SatelliteRecord>& satellites, bool allServices);

// {"id", "name", "host", "port", "computer", "services": [{"name",
// "description"}], "missed_pings"}.
Json SatelliteJson(const directory::SatelliteRecord& record);

}  // namespace kiv::cli

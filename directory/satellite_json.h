// A satellite in JSON, as `kiv list --json`, `kiv wait --json` and kivd's
// /satellites show it; scripts rely on the field names. Pure functions.
#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "directory/directory_table.h"

namespace kiv::directory {

// Every satellite offers the library's own listener service; it says
// nothing about what the satellite is for, so lists leave it out unless
// asked.
inline constexpr char16_t kInternalService[] = u"OnServiceAvailabilityChanged";

// Drops the internal service from every record unless allServices.
void HideInternalService(std::vector<SatelliteRecord>& satellites, bool allServices);

// {"id", "name", "host", "port", "computer", "services": [{"name",
// "description"}], "missed_pings"}.
nlohmann::ordered_json SatelliteJson(const SatelliteRecord& record);

}  // namespace kiv::directory

// The directory's table as kiv list and kiv wait show it: one request
// ("ListSatellites", which does not register the caller) and the filters;
// the JSON form of a satellite is directory/satellite_json.h's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "directory/directory_table.h"
#include "directory/satellite_json.h"
#include "tools/kiv/caller_engine.h"
#include "tools/kiv/json_reader.h"

namespace kiv::cli {

using directory::HideInternalService;
using directory::kInternalService;
using directory::SatelliteJson;

// What one ask of the directory brought.
struct SatelliteListing {
  std::int32_t result = 0;  // 0, or the code of the failed request
  std::vector<directory::SatelliteRecord> satellites;
  std::optional<std::string> unreadable;  // set when the answer had the wrong shape
};

SatelliteListing ListSatellites(const CallerEngine& engine);

// The satellite listed under exactly this name, or nullptr.
const directory::SatelliteRecord* Named(const SatelliteListing& listing,
                                        const std::u16string& name);

// Whether the record offers `service`, compared as the directory compares
// service names (ASCII case ignored).
bool Offers(const directory::SatelliteRecord& record, const std::u16string& service);

}  // namespace kiv::cli

#include "directory/satellite_json.h"

#include "kiv/utf8.h"

namespace kiv::directory {

void HideInternalService(std::vector<SatelliteRecord>& satellites, bool allServices) {
  if (allServices) return;
  for (SatelliteRecord& record : satellites) {
    std::erase_if(record.services,
                  [](const auto& offer) { return offer.name == kInternalService; });
  }
}

nlohmann::ordered_json SatelliteJson(const SatelliteRecord& record) {
  nlohmann::ordered_json services = nlohmann::ordered_json::array();
  for (const auto& offer : record.services) {
    services.push_back({{"name", ToUtf8(offer.name)}, {"description", ToUtf8(offer.description)}});
  }
  return {{"id", record.id},
          {"name", ToUtf8(record.name)},
          {"host", record.host},
          {"port", record.port},
          {"computer", ToUtf8(record.computer)},
          {"services", services},
          {"missed_pings", record.failedPings}};
}

}  // namespace kiv::directory

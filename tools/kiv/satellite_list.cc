#include "tools/kiv/satellite_list.h"

#include <algorithm>

#include "directory/directory_values.h"
#include "kiv/kiv_exception.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"

namespace kiv::cli {

using directory::DirectoryTable;
using directory::SatelliteRecord;

SatelliteListing ListSatellites(const CallerEngine& engine) {
  SatelliteListing listing;
  Variant none;
  Variant list;
  std::int32_t code = 0;
  const std::string request = ToUtf8(directory::kListSatellites);
  listing.result = engine.AskDirectory(request.c_str(), none.get(), list.get(), &code);
  if (listing.result == 0) listing.result = code;
  if (listing.result != 0) return listing;
  try {
    listing.satellites = directory::ReadListAnswer(*list);
  } catch (const KivException& e) {
    listing.unreadable = ToUtf8(e.getMessage());
  }
  return listing;
}

bool Offers(const SatelliteRecord& record, const std::u16string& service) {
  const std::u16string wanted = DirectoryTable::FoldCase(service);
  return std::any_of(record.services.begin(), record.services.end(), [&](const auto& offer) {
    return DirectoryTable::FoldCase(offer.name) == wanted;
  });
}

void HideInternalService(std::vector<SatelliteRecord>& satellites, bool allServices) {
  if (allServices) return;
  for (SatelliteRecord& record : satellites) {
    std::erase_if(record.services,
                  [](const auto& offer) { return offer.name == kInternalService; });
  }
}

Json SatelliteJson(const SatelliteRecord& record) {
  Json services = Json::array();
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

}  // namespace kiv::cli

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

const SatelliteRecord* Named(const SatelliteListing& listing, const std::u16string& name) {
  const auto found =
      std::find_if(listing.satellites.begin(), listing.satellites.end(),
                   [&](const SatelliteRecord& record) { return record.name == name; });
  return found != listing.satellites.end() ? &*found : nullptr;
}

bool Offers(const SatelliteRecord& record, const std::u16string& service) {
  const std::u16string wanted = DirectoryTable::FoldCase(service);
  return std::any_of(record.services.begin(), record.services.end(), [&](const auto& offer) {
    return DirectoryTable::FoldCase(offer.name) == wanted;
  });
}

}  // namespace kiv::cli

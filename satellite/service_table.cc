#include "satellite/service_table.h"

#include <locale>
#include <new>
#include <utility>

#include "kiv/engine.h"
#include "kiv/kiv_exception.h"

namespace kiv::satellite {

namespace {

char16_t LowerUnit(char16_t unit) {
  static const std::ctype<wchar_t>& classic =
      std::use_facet<std::ctype<wchar_t>>(std::locale::classic());
  return static_cast<char16_t>(classic.tolower(static_cast<wchar_t>(unit)));
}

}  // namespace

bool CaselessLess::operator()(std::u16string_view a, std::u16string_view b) const {
  const std::size_t common = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < common; ++i) {
    const char16_t x = LowerUnit(a[i]);
    const char16_t y = LowerUnit(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

void DeclareService(ServiceTable& table, std::u16string_view name, std::u16string_view description,
                    std::shared_ptr<KivSatelliteDelegateGeneric> handler,
                    RetiredHandlers& retired) {
  auto found = table.find(name);
  if (found == table.end()) found = table.emplace(std::u16string(name), ServiceEntry{}).first;
  ServiceEntry& entry = found->second;
  if (entry.handler) retired.push_back(std::move(entry.handler));
  entry.description = std::u16string(description);
  entry.handler = std::move(handler);
  entry.state = SERVICE_TO_REGISTER;
}

bool MarkForRemoval(ServiceTable& table, std::u16string_view name) {
  const auto found = table.find(name);
  if (found == table.end()) return false;
  found->second.state = SERVICE_TO_UNREGISTER;
  return true;
}

void MoveState(ServiceTable& table, std::int32_t from, std::int32_t to) {
  for (auto& [name, entry] : table) {
    if (entry.state == from) entry.state = to;
  }
}

void EraseInState(ServiceTable& table, std::int32_t state, RetiredHandlers& retired) {
  for (auto it = table.begin(); it != table.end();) {
    if (it->second.state == state) {
      if (it->second.handler) retired.push_back(std::move(it->second.handler));
      it = table.erase(it);
    } else {
      ++it;
    }
  }
}

kiv::Variant CollectServices(const ServiceTable& table, std::int32_t state) {
  kiv::Variant services;
  // The engine answers a failure to allocate the array with a code.
  if (KivCreateServices(services.get(), static_cast<std::int32_t>(table.size())) != 0) {
    throw std::bad_alloc();
  }
  std::int32_t index = 0;
  for (const auto& [name, entry] : table) {
    if (entry.state != state) continue;
    // The engine copies both texts into the array.
    kiv::Bstr bstrName(name);
    kiv::Bstr bstrDescription(entry.description);
    KivSetService(services.get(), index++, bstrName.get(), bstrDescription.get());
  }
  return services;
}

}  // namespace kiv::satellite

#include "directory/directory_values.h"

#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"

namespace kiv::directory {
namespace {

constexpr int kRecordElements = 7;
constexpr int kQueryElements = 4;
constexpr int kEntryElements = 7;

Variant ArrayOf(std::vector<Variant>& elements) {
  Variant array;
  VUtil::CreateArray(*array, VT_VARIANT, static_cast<ULONG>(elements.size()));
  for (std::size_t i = 0; i < elements.size(); ++i) {
    VUtil::PutElement(*array, static_cast<LONG>(i), static_cast<void*>(elements[i].get()));
  }
  return array;
}

Variant Text(std::string_view utf8) {
  return Variant::String(FromUtf8(utf8));
}

// Refuses a request with KIV_RC_NAME_HOLDS_NUL.
class NameHoldsNul : public KivException {
 public:
  NameHoldsNul() : KivException(KIV_RC_NAME_HOLDS_NUL, u"a name holds a NUL character") {}
};

// The length of the string element as sent, NULs included.
std::size_t SentLength(const VARIANT& array, LONG index) {
  if (array.vt == (VT_ARRAY | VT_BSTR)) {
    BSTR element = nullptr;
    if (SafeArrayGetElement(array.parray, &index, &element) != S_OK) return 0;
    const Bstr owned = Bstr::Attach(element);
    return SysStringLen(element);
  }
  Variant element;
  VUtil::GetElement(array, index, element.get());
  return element.vt() == VT_BSTR ? SysStringLen(element->bstrVal) : 0;
}

// VUtil::GetStringElement, but a name holding a NUL is refused rather than
// cut at the NUL into another satellite's or service's name.
std::u16string NameElement(const VARIANT& array, LONG index) {
  std::u16string name = VUtil::GetStringElement(array, index);
  if (SentLength(array, index) != name.size()) throw NameHoldsNul();
  return name;
}

// The [name, description] pairs of a services value.
std::vector<ServiceOffer> ReadServices(const VARIANT& services) {
  std::vector<ServiceOffer> offers;
  if (services.vt == VT_EMPTY) return offers;
  const LONG count = VUtil::GetArrayLength(services);
  for (LONG i = 0; i < count; ++i) {
    Variant pair;
    VUtil::GetElement(services, i, pair.get());
    // The satellite class sends an array as long as its whole table, with
    // the services of this registration first and empty elements after.
    if (pair.vt() == VT_EMPTY) continue;
    offers.push_back({NameElement(*pair, 0), VUtil::GetStringElement(*pair, 1)});
  }
  return offers;
}

Variant ServicesValue(const std::vector<ServiceOffer>& services) {
  std::vector<Variant> pairs;
  pairs.reserve(services.size());
  for (const ServiceOffer& offer : services) {
    std::vector<Variant> pair;
    pair.push_back(Variant::String(offer.name));
    pair.push_back(Variant::String(offer.description));
    pairs.push_back(ArrayOf(pair));
  }
  return ArrayOf(pairs);
}

}  // namespace

Registration ReadRegistration(const VARIANT& record, std::string host) {
  VUtil::checkArrayType(record, VT_VARIANT, kRecordElements, true, u"registration record");
  Registration registration;
  registration.name = NameElement(record, 0);
  registration.computer = NameElement(record, 1);
  registration.port = VUtil::GetUShortElement(record, 2);
  registration.knownId = static_cast<std::int32_t>(VUtil::GetLongElement(record, 4));
  registration.host = std::move(host);
  Variant services;
  VUtil::GetElement(record, 6, services.get());
  registration.services = ReadServices(*services);
  if (registration.name.empty()) {
    throw KivInvalidParameterException(u"registration record: empty satellite name");
  }
  return registration;
}

ServiceQuery ReadServiceQuery(const VARIANT& argument) {
  VUtil::checkArrayType(argument, VT_VARIANT, kQueryElements, true, u"service query");
  return {NameElement(argument, 0), NameElement(argument, 1), NameElement(argument, 2)};
}

std::vector<std::u16string> ReadNames(const VARIANT& argument) {
  std::vector<std::u16string> names;
  const LONG count = VUtil::GetArrayLength(argument);
  names.reserve(static_cast<std::size_t>(count));
  for (LONG i = 0; i < count; ++i) names.push_back(NameElement(argument, i));
  return names;
}

Variant RegisterAnswer(const std::u16string& serverId, std::int32_t id) {
  std::vector<Variant> answer;
  answer.push_back(Variant::String(serverId));
  answer.push_back(Variant::I4(id));
  return ArrayOf(answer);
}

Variant EntriesAnswer(const std::vector<ServiceEntry>& entries) {
  std::vector<Variant> list;
  list.reserve(entries.size());
  for (const ServiceEntry& entry : entries) {
    std::vector<Variant> fields;
    fields.reserve(kEntryElements);
    fields.push_back(Variant::String(entry.service));
    fields.push_back(Variant::String(entry.satellite));
    fields.push_back(Variant::String(entry.description));
    fields.push_back(Text(entry.host));
    fields.push_back(Variant::I4(entry.port));
    fields.push_back(Variant::String(entry.computer));
    fields.push_back(Variant::I4(entry.id));
    list.push_back(ArrayOf(fields));
  }
  return ArrayOf(list);
}

Variant HostAnswer(const std::string& host, std::uint16_t port) {
  std::vector<Variant> address;
  address.push_back(Text(host));
  address.push_back(Variant::I4(port));
  std::vector<Variant> answer;
  answer.push_back(ArrayOf(address));
  return ArrayOf(answer);
}

Variant ListAnswer(const std::vector<SatelliteRecord>& satellites) {
  std::vector<Variant> list;
  list.reserve(satellites.size());
  for (const SatelliteRecord& record : satellites) {
    std::vector<Variant> fields;
    fields.reserve(kListElements);
    fields.push_back(Variant::I4(record.id));
    fields.push_back(Variant::String(record.name));
    fields.push_back(Text(record.host));
    fields.push_back(Variant::I4(record.port));
    fields.push_back(Variant::String(record.computer));
    fields.push_back(ServicesValue(record.services));
    fields.push_back(Variant::I4(record.failedPings));
    list.push_back(ArrayOf(fields));
  }
  return ArrayOf(list);
}

std::vector<SatelliteRecord> ReadListAnswer(const VARIANT& value) {
  std::vector<SatelliteRecord> satellites;
  const LONG count = VUtil::GetArrayLengthEmpty(value);
  for (LONG i = 0; i < count; ++i) {
    Variant fields;
    VUtil::GetElement(value, i, fields.get());
    VUtil::checkArrayType(*fields, VT_VARIANT, kListElements, true, u"satellite list entry");
    SatelliteRecord record;
    record.id = static_cast<std::int32_t>(VUtil::GetLongElement(*fields, 0));
    record.name = VUtil::GetStringElement(*fields, 1);
    record.host = ToUtf8(VUtil::GetStringElement(*fields, 2));
    record.port = static_cast<std::uint16_t>(VUtil::GetLongElement(*fields, 3));
    record.computer = VUtil::GetStringElement(*fields, 4);
    Variant services;
    VUtil::GetElement(*fields, 5, services.get());
    record.services = ReadServices(*services);
    record.failedPings = static_cast<int>(VUtil::GetLongElement(*fields, 6));
    satellites.push_back(std::move(record));
  }
  return satellites;
}

Variant NoticeArgument(const AvailabilityNotice& notice) {
  std::vector<Variant> fields;
  fields.push_back(Variant::String(notice.service));
  fields.push_back(Variant::String(notice.satellite));
  fields.push_back(Variant::I4(notice.available));
  return ArrayOf(fields);
}

}  // namespace kiv::directory

// The VARIANT forms of the directory's requests, answers and notices. Pure
// functions, any thread. Readers throw KivInvalidParameterException (code
// 1) on a value of the wrong shape and KivException(KIV_RC_NAME_HOLDS_NUL)
// on a name (satellite, computer, service, listener) holding a NUL;
// builders throw only std::bad_alloc; the caller owns every value in and out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "directory/directory_table.h"
#include "kiv/oleaut.h"
#include "kiv/value.h"

namespace kiv::directory {

// The directory's own request, beside those the library sends: the whole
// table, for `kiv list` and operators. No argument; return code 0; the
// value is an array with one element per satellite in registration order,
// each an array of kListElements:
//   [0] id (VT_I4)  [1] name  [2] host  [3] port (VT_I4)  [4] computer name
//   [5] services: an array of [name, description] pairs, registration order
//   [6] pings missed in a row (VT_I4)
inline constexpr char16_t kListSatellites[] = u"ListSatellites";
constexpr int kListElements = 7;

// "Register" / "UnRegister" / "RemoveSatellite": the 7-element record.
// `host` is the registering connection's peer. A VT_EMPTY services value,
// and VT_EMPTY elements inside the services array, list no service.
Registration ReadRegistration(const VARIANT& record, std::string host);

// "GetServiceReg": [destination, service, caller's name, flags].
struct ServiceQuery {
  std::u16string destination;
  std::u16string service;
  std::u16string caller;
};
ServiceQuery ReadServiceQuery(const VARIANT& argument);

// The listener requests' argument: an array of names (of BSTR, or of
// VARIANT holding BSTR).
std::vector<std::u16string> ReadNames(const VARIANT& argument);

// [server id, satellite id].
Variant RegisterAnswer(const std::u16string& serverId, std::int32_t id);
// One 7-element entry per satellite: [service, satellite, description,
// host, port (VT_I4), computer name, id (VT_I4)].
Variant EntriesAnswer(const std::vector<ServiceEntry>& entries);
// [[host, port (VT_I4)]].
Variant HostAnswer(const std::string& host, std::uint16_t port);
// The "ListSatellites" value described above.
Variant ListAnswer(const std::vector<SatelliteRecord>& satellites);
// Reads a "ListSatellites" value back (host as UTF-8 text).
std::vector<SatelliteRecord> ReadListAnswer(const VARIANT& value);
// The argument of "OnServiceAvailabilityChanged": [service, satellite, 1|0].
Variant NoticeArgument(const AvailabilityNotice& notice);

}  // namespace kiv::directory

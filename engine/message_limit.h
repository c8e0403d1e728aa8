// The largest message an engine reads, and how a refusal is reported. The
// limit comes from the configuration store ("MaxMessageSize", a DWORD of
// bytes under Software\ZIB Networks\Zib); absent or 0 means only the wire
// format's own bounds apply. Read once per engine; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/wire/byte_io.h"
#include "support/time/time_limits.h"

namespace kiv::engine {

// An incoming message has the message time-out plus one second for each
// of these bytes that arrived: large values on slow links still pass.
constexpr std::uint64_t kMessageBytesPerExtraSecond = 1 << 20;

// The configured limit in bytes, or 0 for none.
std::uint64_t ConfiguredMessageLimit();

// A time limit from the store: the DWORD `name` (seconds, 1 to `longest`)
// under Software\ZIB Networks\Zib, else the default of `which`; in ms.
std::int32_t ConfiguredLimitMs(const char16_t* name, kiv::TimeLimit which, std::uint32_t longest);

// How long a served connection may stay silent: "IdleConnectionTimeout"
// seconds (1 to 86400), else 120.
inline std::int32_t ConfiguredIdleTimeoutMs() {
  return ConfiguredLimitMs(u"IdleConnectionTimeout", kiv::TimeLimit::kIdleConnection, 86400);
}

// Logs at WARN why `in` stopped reading `what` (such as "request" or "reply
// from host:port"): a size over the limit or a missed deadline. Silent when
// the read failed for another reason (closed peer, malformed bytes).
void ReportUnreadMessage(const kiv::SocketSource& in, const std::string& what,
                         std::int32_t timeoutMs);

}  // namespace kiv::engine

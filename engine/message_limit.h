// The largest message an engine reads, the memory all messages being read at
// once may take, and how a refusal is reported. Both come from the
// configuration store (DWORDs of bytes under Software\ZIB Networks\Zib):
// "MaxMessageSize", read once per engine, and "MaxDecodingMemory", read once
// per process. Sizes count what a message costs in memory once decoded.
// Safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "engine/wire/byte_io.h"
#include "support/time/time_limits.h"

namespace kiv::engine {

// An incoming message has the message time-out plus one second for each
// of these bytes that arrived: large values on slow links still pass.
constexpr std::uint64_t kMessageBytesPerExtraSecond = 1 << 20;

// Used when the store has no MaxMessageSize (or 0): large enough for any
// value the tools and tests exchange, small enough that a few messages at
// once cannot exhaust a machine.
constexpr std::uint64_t kDefaultMessageLimit = 64 << 20;
// Used when the store has no MaxDecodingMemory (or 0): four messages of the
// default limit.
constexpr std::uint64_t kDefaultDecodingMemory = 256 << 20;

// The configured limit in bytes.
std::uint64_t ConfiguredMessageLimit();

// The process's shared budget for messages being read, made on first use.
kiv::DecodeBudget& ProcessDecodeBudget();

// After reading a message that took this much memory in small blocks, the
// reader hands the allocator's free memory back to the system.
constexpr std::uint64_t kTrimAfterCharged = 1 << 20;
// Returns the free memory of every allocator arena to the system when `in`
// charged more than kTrimAfterCharged; call once its value is freed.
void TrimAfterLargeMessage(const kiv::SocketSource& in);

// A time limit from the store: the DWORD `name` (seconds, 1 to `longest`)
// under Software\ZIB Networks\Zib, else the default of `which`; in ms.
std::int32_t ConfiguredLimitMs(const char16_t* name, kiv::TimeLimit which, std::uint32_t longest);

// How long a served connection may stay silent: "IdleConnectionTimeout"
// seconds (1 to 86400), else 120.
inline std::int32_t ConfiguredIdleTimeoutMs() {
  return ConfiguredLimitMs(u"IdleConnectionTimeout", kiv::TimeLimit::kIdleConnection, 86400);
}

// Logs at WARN why `in` stopped reading `what` (such as "request" or "reply
// from host:port"): a size over the limit, the process's budget exhausted
// or a missed deadline. Silent when
// the read failed for another reason (closed peer, malformed bytes).
void ReportUnreadMessage(const kiv::SocketSource& in, const std::string& what,
                         std::int32_t timeoutMs);

}  // namespace kiv::engine

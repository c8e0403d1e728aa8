// The echoed payload: a fixed byte pattern whose first bytes carry the
// call's sequence number, so a stale or misrouted echo shows, and the check
// of an echo against it. Pure functions over caller-owned bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kiv::compare {

// Fills `bytes` with the pattern (as if stamped with sequence 0).
void FillPattern(std::span<std::uint8_t> bytes);

// Writes `sequence` over the first eight bytes (fewer when shorter).
void Stamp(std::span<std::uint8_t> bytes, std::uint64_t sequence);

// nullptr when `echo` is `size` bytes of the pattern stamped with
// `sequence` (the size, the stamp, the middle and the last byte are
// compared); otherwise what differs.
const char* CheckEcho(std::span<const std::uint8_t> echo, std::size_t size, std::uint64_t sequence);

}  // namespace kiv::compare

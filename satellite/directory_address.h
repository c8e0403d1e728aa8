// The directory address a satellite connects to: "host[:port]" split at the
// first colon. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kiv::satellite {

struct DirectoryAddress {
  std::u16string host;     // "localhost" becomes "127.0.0.1"
  std::uint16_t port = 0;  // 0 when the text names none (the engine then uses 29831)
};

// The port is read as a decimal integer: leading white space and one sign
// allowed, reading stops at the first non-digit, no digits give 0; the value
// (held to the 32-bit range) is truncated to 16 bits, so 70000 gives 4464.
DirectoryAddress ParseDirectoryAddress(std::u16string_view text);

}  // namespace kiv::satellite

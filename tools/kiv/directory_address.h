// Where the kiv program finds its directory: the text of --directory or of
// KIV_DIRECTORY. The engine speaks IPv4 only (the directory's lists and the
// discovery datagrams carry IPv4 addresses), so an IPv6 literal is taken in
// brackets only to turn an IPv4-mapped one into its IPv4 form or to refuse
// it with a message that says what to give instead. Pure function.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kiv::cli {

struct DirectoryAddress {
  std::string host;  // a host name (resolved to IPv4 by the engine) or IPv4 text
  std::uint16_t port;
};

// Reads HOST, HOST:PORT, [IPV6] or [IPV6]:PORT; PORT defaults to
// defaultPort. Throws UsageError naming `source` ("--directory",
// "KIV_DIRECTORY") and the text.
DirectoryAddress ParseDirectoryAddress(std::string_view text, std::string_view source,
                                       std::uint16_t defaultPort);

}  // namespace kiv::cli

#include "tools/kiv/directory_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <optional>

#include "tools/kiv/cli.h"

namespace kiv::cli {
namespace {

std::optional<std::uint16_t> PortFrom(std::string_view text) {
  unsigned port = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
  if (error != std::errc() || end != text.data() + text.size() || port == 0 || port > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(port);
}

// The IPv4 text of an IPv4-mapped literal (::ffff:a.b.c.d); throws for
// any other IPv6 address, which the engine cannot reach.
std::string IPv4FromBracketed(const std::string& literal, const std::string& problemStart) {
  in6_addr address{};
  if (::inet_pton(AF_INET6, literal.c_str(), &address) != 1) {
    throw UsageError(problemStart + ": '" + literal + "' is not an IPv6 address");
  }
  if (!IN6_IS_ADDR_V4MAPPED(&address)) {
    throw UsageError(problemStart + ": kiv reaches directories over IPv4 only; give an IPv4 " +
                     "address or a host name with one (127.0.0.1 rather than ::1)");
  }
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address.s6_addr[12], text, sizeof text);
  return text;
}

}  // namespace

DirectoryAddress ParseDirectoryAddress(std::string_view text, std::string_view source,
                                       std::uint16_t defaultPort) {
  const std::string problemStart = std::string(source) +
                                   " takes HOST, HOST:PORT or [IPV6]:PORT, got '" +
                                   std::string(text) + "'";
  std::string_view host = text;
  std::string_view portText;
  bool bracketed = false;
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    if (close == std::string_view::npos) throw UsageError(problemStart + ": no closing ']'");
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) {
      throw UsageError(problemStart + ": only ':PORT' may follow ']'");
    }
    if (rest == ":") throw UsageError(problemStart + ": no port after ':'");
    if (!rest.empty()) portText = rest.substr(1);
    bracketed = true;
  } else if (const auto colon = text.find(':'); colon != std::string_view::npos) {
    if (text.find(':', colon + 1) != std::string_view::npos) {
      throw UsageError(problemStart + ": an IPv6 address goes in brackets, as [::ffff:10.0.0.1]");
    }
    host = text.substr(0, colon);
    portText = text.substr(colon + 1);
    if (portText.empty()) throw UsageError(problemStart + ": no port after ':'");
  }
  if (host.empty()) throw UsageError(problemStart + ": no host");
  const std::optional<std::uint16_t> port = portText.empty() ? defaultPort : PortFrom(portText);
  if (!port) throw UsageError(problemStart + ": the port is a number from 1 to 65535");
  return {bracketed ? IPv4FromBracketed(std::string(host), problemStart) : std::string(host),
          *port};
}

}  // namespace kiv::cli

#include "support/net/cidr.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>

namespace kiv {
namespace {

// A decimal number without sign or leading zeros, at most `largest`.
std::optional<unsigned> SmallNumber(std::string_view text, unsigned largest) {
  if (text.empty() || (text.size() > 1 && text.front() == '0')) {
    return std::nullopt;
  }
  unsigned value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > largest) {
    return std::nullopt;
  }
  return value;
}

std::uint32_t PrefixMask(int prefixLength) {
  return prefixLength == 0 ? 0 : ~std::uint32_t{0} << (32 - prefixLength);
}

std::string_view TrimBlanks(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

void Report(std::string* problem, std::string text) {
  if (problem != nullptr) *problem = std::move(text);
}

}  // namespace

std::optional<IPv4Address> ParseDottedAddress(std::string_view text) {
  // inet_pton takes exactly four decimal parts and refuses leading zeros.
  in_addr parsed{};
  if (::inet_pton(AF_INET, std::string(text).c_str(), &parsed) != 1) return std::nullopt;
  return parsed.s_addr;
}

std::optional<Ipv4Network> ParseNetwork(std::string_view text, std::string* problem) {
  const std::size_t slash = text.find('/');
  const std::optional<IPv4Address> address = ParseDottedAddress(text.substr(0, slash));
  std::optional<unsigned> prefix = 32;
  if (slash != std::string_view::npos) prefix = SmallNumber(text.substr(slash + 1), 32);
  if (!address || !prefix) {
    Report(problem, "'" + std::string(text) + "' is not an IPv4 network such as 10.1.0.0/16");
    return std::nullopt;
  }
  const Ipv4Network network{ntohl(*address), static_cast<int>(*prefix)};
  const std::uint32_t mask = PrefixMask(network.prefixLength);
  if ((network.base & ~mask) != 0) {
    const Ipv4Network meant{network.base & mask, network.prefixLength};
    Report(problem, "'" + std::string(text) + "' has bits set past its /" +
                        std::to_string(*prefix) + " prefix (did you mean " +
                        FormatNetworkList({meant}) + "?)");
    return std::nullopt;
  }
  return network;
}

std::optional<std::vector<Ipv4Network>> ParseNetworkList(std::string_view text,
                                                         std::string* problem) {
  std::vector<Ipv4Network> networks;
  if (TrimBlanks(text).empty()) return networks;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t comma = std::min(text.find(',', start), text.size());
    const std::string_view entry = TrimBlanks(text.substr(start, comma - start));
    if (entry.empty()) {
      Report(problem, "an empty entry (a comma too many)");
      return std::nullopt;
    }
    const std::optional<Ipv4Network> network = ParseNetwork(entry, problem);
    if (!network) return std::nullopt;
    networks.push_back(*network);
    start = comma + 1;
  }
  return networks;
}

std::string FormatNetworkList(const std::vector<Ipv4Network>& networks) {
  std::string text;
  for (const Ipv4Network& network : networks) {
    if (!text.empty()) text += ',';
    text += DottedAddress(htonl(network.base)) + "/" + std::to_string(network.prefixLength);
  }
  return text;
}

bool NetworkListAllows(const std::vector<Ipv4Network>& networks, IPv4Address address) {
  if (networks.empty()) return true;
  const std::uint32_t host = ntohl(address);
  for (const Ipv4Network& network : networks) {
    if ((host & PrefixMask(network.prefixLength)) == network.base) return true;
  }
  return false;
}

}  // namespace kiv

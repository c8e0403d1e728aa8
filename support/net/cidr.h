// IPv4 addresses and networks as the network fences take them: a strict
// dotted address ("127.0.0.1") and comma-separated CIDR lists
// ("127.0.0.0/8, 10.1.0.0/16"). Pure functions; nothing fails but
// allocation and what the results report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/net/net.h"

namespace kiv {

struct Ipv4Network {
  std::uint32_t base = 0;  // host byte order; no bits set past the prefix
  int prefixLength = 0;    // 0 to 32
  friend bool operator==(const Ipv4Network&, const Ipv4Network&) = default;
};

// Four decimal parts from 0 to 255 separated by dots, without leading
// zeros or anything else (inet_addr's octal and short forms are refused:
// a fence must mean what it reads as). Network byte order.
std::optional<IPv4Address> ParseDottedAddress(std::string_view text);

// "a.b.c.d/n" (n from 0 to 32) or a bare address, which is its /32.
// Nullopt, `problem` saying why, for anything else, and for an address
// with bits set past its prefix ("10.1.2.3/16"): which network was meant is
// not for us to guess.
std::optional<Ipv4Network> ParseNetwork(std::string_view text, std::string* problem = nullptr);

// Networks separated by commas, blanks around each ignored; a text that
// is empty or all blanks is the empty list. Nullopt, `problem` naming the
// first bad entry, when any entry is bad or empty.
std::optional<std::vector<Ipv4Network>> ParseNetworkList(std::string_view text,
                                                         std::string* problem = nullptr);

// "127.0.0.0/8,10.1.0.0/16"; parses back to the same list.
std::string FormatNetworkList(const std::vector<Ipv4Network>& networks);

// True when the list is empty (no fence) or one of its networks holds the
// address (network byte order).
bool NetworkListAllows(const std::vector<Ipv4Network>& networks, IPv4Address address);

}  // namespace kiv

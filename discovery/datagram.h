// The discovery datagrams as text: the SEARCH bytes we send and the reading
// rules for the NOTIFY and BYEBYE that directories send. Pure functions, no
// state and no locks: any thread may call them, and they never throw but
// std::bad_alloc. A datagram's text ends at its first NUL; callers cut it
// there (DatagramText) before reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kiv::discovery {

// "SEARCH 1.0\r\nServer: Zib Kiv Directory\r\n\r\n", sent without a NUL.
inline constexpr std::string_view kSearchDatagram =
    "SEARCH 1.0\r\nServer: Zib Kiv Directory\r\n\r\n";
// Longer datagrams are dropped whole.
inline constexpr std::size_t kMaxDatagramSize = 8192;

enum class DatagramKind { kOther, kNotify, kByeBye };

// What a receiver takes from an accepted NOTIFY.
struct NotifyFields {
  std::string serverId;
  std::uint16_t port = 0;
  std::string host;               // source:port, the directory's address as we saw it
  std::set<std::string> aliases;  // token:port for every alias, plus host
  std::set<std::string> users;
};

// The bytes up to the first NUL (all of them when there is none).
std::string_view DatagramText(const char* data, std::size_t size);

// By the first 10 bytes only: "NOTIFY 1.0" or "BYEBYE 1.0".
DatagramKind ClassifyDatagram(std::string_view text);

// The fields of a NOTIFY received from `source` (dotted address), or nothing
// when a tag is missing or a tag's value has no CR LF after it.
std::optional<NotifyFields> ReadNotify(std::string_view source, std::string_view text);
// The trimmed "ServerID:" value of a BYEBYE, or nothing.
std::optional<std::string> ReadByeBye(std::string_view text);

// The pieces of the rules, for their tests.
//
// The value after the first occurrence of tag, up to the first CR LF after
// it; nothing when the tag or the CR LF is missing.
std::optional<std::string_view> TagValue(std::string_view text, std::string_view tag);
// Without space, tab, CR, LF, vertical tab and form feed at both ends.
std::string_view TrimValue(std::string_view value);
// Leading white space, optional sign, decimal digits up to the first other
// byte (none: 0); the number modulo 65536.
std::uint16_t ReadPort(std::string_view value);
// The non-empty runs between commas and spaces, in order.
std::vector<std::string_view> SplitTokens(std::string_view value);
// "name:port".
std::string AliasText(std::string_view name, std::uint16_t port);

}  // namespace kiv::discovery

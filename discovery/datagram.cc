#include "discovery/datagram.h"

#include <cstring>

namespace kiv::discovery {
namespace {

constexpr std::string_view kNotifyStart = "NOTIFY 1.0";
constexpr std::string_view kByeByeStart = "BYEBYE 1.0";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kServerIdTag = "ServerID:";
constexpr std::string_view kPortTag = "Port:";
constexpr std::string_view kAliasesTag = "Aliases:";
constexpr std::string_view kUsersTag = "Users:";

// The classic locale's white space.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

std::string_view DatagramText(const char* data, std::size_t size) {
  const void* nul = std::memchr(data, '\0', size);
  return {data,
          nul == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(nul) - data)};
}

DatagramKind ClassifyDatagram(std::string_view text) {
  if (text.starts_with(kNotifyStart)) return DatagramKind::kNotify;
  if (text.starts_with(kByeByeStart)) return DatagramKind::kByeBye;
  return DatagramKind::kOther;
}

std::optional<std::string_view> TagValue(std::string_view text, std::string_view tag) {
  const std::size_t at = text.find(tag);
  if (at == std::string_view::npos) return std::nullopt;
  const std::size_t start = at + tag.size();
  const std::size_t end = text.find(kLineEnd, start);
  if (end == std::string_view::npos) return std::nullopt;
  return text.substr(start, end - start);
}

std::string_view TrimValue(std::string_view value) {
  while (!value.empty() && IsSpace(value.front())) value.remove_prefix(1);
  while (!value.empty() && IsSpace(value.back())) value.remove_suffix(1);
  return value;
}

std::uint16_t ReadPort(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && IsSpace(value[i])) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  // Only the low 16 bits survive, so they are all we keep while reading:
  // arbitrarily long digit runs cannot overflow.
  std::uint32_t low = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    low = (low * 10 + static_cast<std::uint32_t>(value[i] - '0')) & 0xFFFFu;
  }
  return static_cast<std::uint16_t>(negative ? (0x10000u - low) & 0xFFFFu : low);
}

std::vector<std::string_view> SplitTokens(std::string_view value) {
  std::vector<std::string_view> tokens;
  std::size_t i = 0;
  while (i < value.size()) {
    while (i < value.size() && (value[i] == ',' || value[i] == ' ')) ++i;
    const std::size_t start = i;
    while (i < value.size() && value[i] != ',' && value[i] != ' ') ++i;
    if (i > start) tokens.push_back(value.substr(start, i - start));
  }
  return tokens;
}

std::string AliasText(std::string_view name, std::uint16_t port) {
  std::string text(name);
  text += ':';
  text += std::to_string(port);
  return text;
}

std::optional<NotifyFields> ReadNotify(std::string_view source, std::string_view text) {
  // Every tag must be present before any value is looked at.
  for (std::string_view tag : {kServerIdTag, kAliasesTag, kPortTag, kUsersTag}) {
    if (text.find(tag) == std::string_view::npos) return std::nullopt;
  }
  const auto serverId = TagValue(text, kServerIdTag);
  const auto port = TagValue(text, kPortTag);
  const auto aliases = TagValue(text, kAliasesTag);
  const auto users = TagValue(text, kUsersTag);
  if (!serverId || !port || !aliases || !users) return std::nullopt;

  NotifyFields fields;
  fields.serverId = TrimValue(*serverId);
  fields.port = ReadPort(*port);
  for (std::string_view alias : SplitTokens(*aliases)) {
    fields.aliases.insert(AliasText(alias, fields.port));
  }
  for (std::string_view user : SplitTokens(*users)) fields.users.emplace(user);
  fields.host = AliasText(source, fields.port);
  fields.aliases.insert(fields.host);
  return fields;
}

std::optional<std::string> ReadByeBye(std::string_view text) {
  const auto serverId = TagValue(text, kServerIdTag);
  if (!serverId) return std::nullopt;
  return std::string(TrimValue(*serverId));
}

}  // namespace kiv::discovery

// Feeds datagrams (separated by the byte 0xFF, from a few sources, a second
// apart) to the discovery reader and the directory tables. Accepted NOTIFY
// and BYEBYE fields must obey the reading rules; the tables stay consistent.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "discovery/datagram.h"
#include "discovery/directory_catalog.h"

namespace {

using kiv::discovery::DatagramKind;
using kiv::discovery::DirectoryCatalog;

void Check(bool condition) {
  if (!condition) std::abort();
}

// One line, trimmed.
void CheckServerId(const std::string& id) {
  Check(id.find("\r\n") == std::string::npos);
  Check(id.empty() || (!std::isspace(static_cast<unsigned char>(id.front())) &&
                       !std::isspace(static_cast<unsigned char>(id.back()))));
}

void CheckNotify(std::string_view text, const std::string& source,
                 const kiv::discovery::NotifyFields& fields) {
  for (std::string_view tag : {"ServerID:", "Port:", "Aliases:", "Users:"}) {
    Check(text.find(tag) != std::string_view::npos);
  }
  CheckServerId(fields.serverId);
  // BYEBYE reads the id by the same rule.
  Check(kiv::discovery::ReadByeBye(text) == fields.serverId);
  const std::string suffix = ":" + std::to_string(fields.port);
  Check(fields.host == source + suffix);
  Check(fields.aliases.count(fields.host) == 1);
  for (const std::string& alias : fields.aliases) {
    Check(alias.size() > suffix.size() && alias.ends_with(suffix));
    const std::string name = alias.substr(0, alias.size() - suffix.size());
    Check(name.find_first_of(", ") == std::string::npos || alias == fields.host);
  }
  for (const std::string& user : fields.users) {
    Check(!user.empty() && user.find_first_of(", ") == std::string::npos);
    Check(user.find("\r\n") == std::string::npos);
  }
}

void Announce(DirectoryCatalog& table, const kiv::discovery::NotifyFields& fields,
              std::int64_t now) {
  const bool known = table.Contains(fields.serverId);
  const auto update = table.Update(fields.serverId, fields.host, fields.aliases, fields.users, now);
  Check(table.Consistent());
  Check(table.Contains(fields.serverId));
  Check((update.status == KIV_ALIVE) == (!known || update.hostChanged));
  Check(update.status == KIV_ALIVE || update.status == KIV_ADDUSER);
  if (update.hostChanged) Check(table.Host(fields.serverId) == fields.host);
  // Every listed user now belongs to the announcer.
  for (const std::string& user : fields.users) {
    Check(table.UserHost(user) == table.Host(fields.serverId));
  }
  for (const std::string& user : update.added) Check(fields.users.count(user) == 1);
  for (const auto& [id, users] : update.pending) {
    Check(id == fields.serverId ? (update.hostChanged || !users.empty()) : !users.empty());
    for (const std::string& user : users) {
      // Users taken from others moved here; our own left unless the record
      // was recreated.
      if (id != fields.serverId) Check(fields.users.count(user) == 1);
      if (id == fields.serverId && !update.hostChanged) Check(fields.users.count(user) == 0);
    }
  }
  for (const std::string& id : table.Expired(now + 41)) Check(id != fields.serverId);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string kSources[] = {"10.0.0.5", "10.0.0.6", "127.0.0.1"};
  DirectoryCatalog table;
  std::int64_t now = 1000;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t start = 0;
  for (std::size_t index = 0; start <= input.size(); ++index, ++now) {
    std::size_t end = input.find('\xFF', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view datagram = input.substr(start, end - start);
    start = end + 1;
    if (datagram.size() > kiv::discovery::kMaxDatagramSize) continue;  // dropped whole
    const std::string_view text = kiv::discovery::DatagramText(datagram.data(), datagram.size());
    Check(text.find('\0') == std::string_view::npos);
    const std::string& source = kSources[index % 3];
    switch (kiv::discovery::ClassifyDatagram(text)) {
      case DatagramKind::kNotify:
        if (const auto fields = kiv::discovery::ReadNotify(source, text)) {
          CheckNotify(text, source, *fields);
          Announce(table, *fields, now);
        }
        break;
      case DatagramKind::kByeBye:
        if (const auto id = kiv::discovery::ReadByeBye(text)) {
          CheckServerId(*id);
          std::set<std::string> users;
          const bool known = table.Contains(*id);
          Check(table.Remove(*id, users) == known);
          Check(!table.Contains(*id) && table.Consistent());
          for (const std::string& user : users) Check(!table.UserHost(user));
        }
        break;
      case DatagramKind::kOther:
        Check(!text.starts_with("NOTIFY 1.0") && !text.starts_with("BYEBYE 1.0"));
        break;
    }
  }
  // Silence of more than 41 seconds empties the tables.
  for (const std::string& id : table.Expired(now + 42)) {
    std::set<std::string> users;
    Check(table.Remove(id, users));
  }
  Check(table.size() == 0 && table.Consistent());
  return 0;
}

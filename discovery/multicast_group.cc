#include "discovery/multicast_group.h"

#include <arpa/inet.h>

#include "kiv/utf8.h"
#include "support/registry/registry.h"

namespace kiv::discovery {

IPv4Address GroupFromText(const std::u16string& configured) {
  // inet_addr answers all ones both for that address and for any text it
  // cannot read, and either means "use the default".
  const in_addr_t group =
      configured.empty() ? INADDR_NONE : ::inet_addr(ToUtf8(configured).c_str());
  return group == INADDR_NONE ? ::inet_addr(kDefaultGroup) : group;
}

IPv4Address ReadMulticastGroup() {
  std::u16string configured;
  if (!GetRegistry()->GetStringValue(u"Software\\ZIB Networks\\Zib\\Config", u"kiv.multicastGroup",
                                     configured)) {
    configured.clear();
  }
  return GroupFromText(configured);
}

}  // namespace kiv::discovery

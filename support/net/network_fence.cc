#include "support/net/network_fence.h"

#include <boost/shared_ptr.hpp>
#include <utility>

#include "kiv/utf8.h"
#include "support/log/log.h"
#include "support/registry/registry.h"
#include "support/threads/mutex.h"

namespace kiv {
namespace {

constexpr char16_t kStoreKey[] = u"Software\\ZIB Networks\\Zib";
constexpr char kStoreAllowedPeers[] = "AllowedPeers under Software\\ZIB Networks\\Zib";

struct Overrides {
  PMutex mutex;
  std::optional<IPv4Address> listenAddress;
  std::optional<std::vector<Ipv4Network>> allowedPeers;
  std::string allowedPeersSetting;
};

// Never destroyed: an engine may start listening from another static
// object's constructor or destructor.
Overrides& TheOverrides() {
  static Overrides* overrides = new Overrides();
  return *overrides;
}

// The store's text value, "" when absent.
std::string StoreText(const char16_t* name) {
  std::u16string value;
  const boost::shared_ptr<CRegistry> registry = GetRegistry();
  if (!registry || !registry->GetStringValue(kStoreKey, name, value)) return "";
  return ToUtf8(value);
}

}  // namespace

void OverrideListenAddress(IPv4Address address) {
  Overrides& overrides = TheOverrides();
  PScopedLock guard(&overrides.mutex);
  overrides.listenAddress = address;
}

void OverrideAllowedPeers(std::vector<Ipv4Network> networks, std::string setting) {
  Overrides& overrides = TheOverrides();
  PScopedLock guard(&overrides.mutex);
  overrides.allowedPeers = std::move(networks);
  overrides.allowedPeersSetting = std::move(setting);
}

std::optional<NetworkFence> ConfiguredNetworkFence(std::string* problem, const char* consequence) {
  NetworkFence fence;
  std::optional<IPv4Address> listenAddress;
  std::optional<std::vector<Ipv4Network>> allowedPeers;
  {
    Overrides& overrides = TheOverrides();
    PScopedLock guard(&overrides.mutex);
    listenAddress = overrides.listenAddress;
    allowedPeers = overrides.allowedPeers;
    fence.allowedPeersSetting = overrides.allowedPeersSetting;
  }
  std::string refusal;
  if (!listenAddress) {
    const std::string text = StoreText(u"ListenAddress");
    listenAddress = text.empty() ? 0 : ParseDottedAddress(text);
    if (!listenAddress) {
      refusal = "ListenAddress \"" + text +
                "\" under Software\\ZIB Networks\\Zib is not an IPv4 address such as 127.0.0.1; "
                "set it to an address of this machine, or delete it to listen on all";
    }
  }
  if (!allowedPeers && refusal.empty()) {
    const std::string text = StoreText(u"AllowedPeers");
    std::string why;
    allowedPeers = ParseNetworkList(text, &why);
    if (!allowedPeers) {
      refusal = "AllowedPeers \"" + text +
                "\" under Software\\ZIB Networks\\Zib is refused: " + why +
                "; write IPv4 networks separated by commas, such as 127.0.0.0/8,10.1.0.0/16, "
                "or delete it to serve every peer";
    }
    fence.allowedPeersSetting = kStoreAllowedPeers;
  }
  if (!refusal.empty()) {
    // Never a wider fence than configured: no listening until it is fixed.
    LogError(u"KIV: %hs; until then %hs", refusal.c_str(), consequence);
    if (problem != nullptr) *problem = std::move(refusal);
    return std::nullopt;
  }
  fence.listenAddress = *listenAddress;
  fence.allowedPeers = std::move(*allowedPeers);
  return fence;
}

}  // namespace kiv

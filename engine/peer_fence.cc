#include "engine/peer_fence.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <utility>

#include "engine/engine_object.h"
#include "engine/event_thread.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "support/log/log.h"
#include "support/log/log_burst.h"
#include "support/registry/registry.h"
#include "support/threads/mutex.h"

namespace kiv::engine {
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

std::optional<NetworkFence> ConfiguredNetworkFence(std::string* problem) {
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
    LogError(u"KIV: %hs; until then this engine does not listen", refusal.c_str());
    if (problem != nullptr) *problem = std::move(refusal);
    return std::nullopt;
  }
  fence.listenAddress = *listenAddress;
  fence.allowedPeers = std::move(*allowedPeers);
  return fence;
}

}  // namespace kiv::engine

bool KivAdmitPeer(KIV* engine, int socket) {
  const kiv::engine::NetworkFence& fence = engine->fence;
  if (fence.allowedPeers.empty()) return true;
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  // A peer that cannot be named cannot be shown to be allowed.
  const bool named = ::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &size) == 0 &&
                     peer.sin_family == AF_INET;
  if (named && kiv::NetworkListAllows(fence.allowedPeers, peer.sin_addr.s_addr)) return true;
  KivSendRefusal(socket, kiv::KIV_E_PEER_NOT_ALLOWED);
  // A scanner knocks many times; ten lines a minute say enough.
  static kiv::LogBurst lines(10, std::chrono::minutes(1));
  std::string more;
  if (!lines.Admit(more)) return false;
  const std::string address = named ? kiv::DottedAddress(peer.sin_addr.s_addr) : "an unknown peer";
  LogWarn(
      u"KIV: refused a connection from %hs: not in %hs (%hs); add its network there to serve "
      u"it%hs",
      address.c_str(), fence.allowedPeersSetting.c_str(),
      kiv::FormatNetworkList(fence.allowedPeers).c_str(), more.c_str());
  return false;
}

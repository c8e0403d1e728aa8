#include "engine/peer_fence.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <string>

#include "engine/engine_object.h"
#include "engine/event_thread.h"
#include "kiv/result_codes.h"
#include "support/log/log.h"
#include "support/log/log_burst.h"

bool KivAdmitPeer(KIV* engine, int socket) {
  const kiv::NetworkFence& fence = engine->fence;
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

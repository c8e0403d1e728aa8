#include "directory/announcer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "discovery/datagram.h"
#include "discovery/discovery_socket.h"
#include "discovery/multicast_group.h"
#include "support/log/log.h"

namespace kiv::directory {
namespace {

constexpr std::string_view kSearchHead = "SEARCH 1.0";

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ',';
    text += name;
  }
  return text;
}

}  // namespace

std::string NotifyText(const Announcement& announcement) {
  return "NOTIFY 1.0\r\nServerID: " + announcement.serverId +
         "\r\nPort: " + std::to_string(announcement.port) +
         "\r\nAliases: " + Joined(announcement.aliases) +
         "\r\nUsers: " + Joined(announcement.users) + "\r\n\r\n";
}

std::string ByeByeText(std::string_view serverId) {
  return "BYEBYE 1.0\r\nServerID: " + std::string(serverId) + "\r\n\r\n";
}

bool IsSearch(std::string_view text) {
  return text.starts_with(kSearchHead);
}

Announcer::Announcer(Announcement announcement, std::chrono::milliseconds interval)
    : announcement_(std::move(announcement)),
      notifyText_(NotifyText(announcement_)),
      interval_(interval) {}

Announcer::~Announcer() {
  Stop();
}

bool Announcer::Start() {
  if (thread_) return true;
  socket_ = discovery::OpenDiscoverySocket();
  if (socket_ == INVALID_SOCKET) return false;
  group_ = discovery::ReadMulticastGroup();
  fence_ = ConfiguredNetworkFence(nullptr, "kivd answers no SEARCH");
  std::vector<IPv4Address> interfaces;
  GetLocalAddresses(interfaces);
  discovery::JoinGroup(socket_, group_, interfaces);
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ >= 0) {
    stopping_ = false;
    try {
      thread_ = std::make_unique<PThread>(nullptr, this, &Announcer::Run, nullptr);
    } catch (const std::exception&) {
      thread_.reset();
    }
  }
  if (!thread_) {
    if (wakeFd_ >= 0) ::close(wakeFd_);
    ::close(socket_);
    wakeFd_ = -1;
    socket_ = INVALID_SOCKET;
    return false;
  }
  return true;
}

void Announcer::Stop() {
  if (!thread_) return;
  stopping_ = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
  thread_->Join(nullptr);
  thread_.reset();
  SendToGroup(ByeByeText(announcement_.serverId));
  ::close(wakeFd_);
  ::close(socket_);
  wakeFd_ = -1;
  socket_ = INVALID_SOCKET;
}

void* Announcer::Run(void*) {
  using Clock = std::chrono::steady_clock;
  SendNotify();
  Clock::time_point next = Clock::now() + interval_;
  while (!stopping_) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    pollfd watched[2] = {{socket_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    const int ready = ::poll(watched, 2, static_cast<int>(std::max<long long>(left, 0)));
    if (stopping_) break;
    if (ready < 0 && errno != EINTR) {
      LogError(u"kivd: discovery announcements stopped: poll failed: %d", errno);
      break;
    }
    // Several SEARCHes read in one go get one answer: each asker hears it.
    if (ready > 0 && (watched[0].revents & POLLIN) != 0 && DrainSearches()) {
      SendNotify();
      ++searchesAnswered_;
    }
    if (Clock::now() >= next) {
      SendNotify();
      next = Clock::now() + interval_;
    }
  }
  return nullptr;
}

void Announcer::SendToGroup(std::string_view text) {
  sockaddr_in destination{};
  destination.sin_family = AF_INET;
  destination.sin_addr.s_addr = group_;
  destination.sin_port = htons(discovery::kDiscoveryPort);
  // Every interface, as SEARCH goes out on every one: whoever asked on any
  // of them hears the answer. Read each time, so a new interface is served.
  std::vector<IPv4Address> interfaces;
  GetLocalAddresses(interfaces);
  for (IPv4Address address : interfaces) {
    in_addr outgoing{};
    outgoing.s_addr = address;
    if (::setsockopt(socket_, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0) {
      continue;
    }
    ssize_t sent;
    do {
      sent = ::sendto(socket_, text.data(), text.size(), MSG_NOSIGNAL,
                      reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0)
      LogDebug(u"kivd: announcement not sent on %hs: %d", DottedAddress(address).c_str(), errno);
  }
}

void Announcer::SendNotify() {
  SendToGroup(notifyText_);
  ++notifiesSent_;
}

bool Announcer::DrainSearches() {
  // Bounded, so a flood of datagrams cannot hold off the periodic NOTIFY.
  constexpr int kMaxPerTurn = 64;
  bool search = false;
  char buffer[discovery::kMaxDatagramSize];
  for (int i = 0; i < kMaxPerTurn; ++i) {
    IPv4Address source = 0;
    int error = 0;
    const long size = discovery::ReceiveDatagram(socket_, buffer, sizeof buffer, &source, &error);
    if (size < 0) {
      if (error == EAGAIN || error == EWOULDBLOCK) return search;
      continue;  // an oversized datagram was dropped; read on
    }
    // Like connections, a SEARCH from outside AllowedPeers gets no answer.
    if (fence_ && fence_->Allows(source) &&
        IsSearch(discovery::DatagramText(buffer, static_cast<std::size_t>(size)))) {
      search = true;
    }
  }
  return search;
}

}  // namespace kiv::directory

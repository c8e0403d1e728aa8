#include "discovery/discover_client.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <boost/weak_ptr.hpp>
#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>

#include "discovery/datagram.h"
#include "discovery/discovery_socket.h"
#include "discovery/multicast_group.h"
#include "kiv/discover.h"
#include "kiv/utf8.h"
#include "support/log/log.h"
#include "support/time/time_limits.h"
#include "support/time/wall_clock.h"

namespace kiv::discovery {
namespace {

std::atomic<DirectoryStatusReport> gStatusReport{nullptr};
std::atomic<PeriodicWork> gPeriodicWork{nullptr};

void ReportDirectoryStatus(const std::string& serverId, KIVSTATUS status) {
  const DirectoryStatusReport report = gStatusReport.load();
  if (report != nullptr) report(serverId.c_str(), status);
}

}  // namespace

void InstallDirectoryStatusReport(DirectoryStatusReport report) {
  DirectoryStatusReport none = nullptr;
  gStatusReport.compare_exchange_strong(none, report);
}

DirectoryStatusReport ReplaceDirectoryStatusReportForTesting(DirectoryStatusReport report) {
  return gStatusReport.exchange(report);
}

void InstallPeriodicWork(PeriodicWork work) {
  PeriodicWork none = nullptr;
  gPeriodicWork.compare_exchange_strong(none, work);
}

}  // namespace kiv::discovery

namespace {

using kiv::discovery::ReportDirectoryStatus;

// The loop's turn while deferred work waits, and when nothing does: an idle
// process wakes once a second, not twenty times.
constexpr int kBusyTurnMilliseconds = 50;
constexpr int kIdleTurnMilliseconds = 1000;
constexpr std::int64_t kPeriodSeconds = 4;
constexpr auto kUserPollInterval = std::chrono::milliseconds(20);

}  // namespace

KivDiscoverClient::KivDiscoverClient()
    : logger_(GetGlobalLogger()),
      group_(kiv::discovery::ReadMulticastGroup()),
      fence_(kiv::ConfiguredNetworkFence(nullptr, "discovery datagrams are ignored")) {
  socket_ = kiv::discovery::OpenDiscoverySocket();
  kiv::GetLocalAddresses(interfaces_);
  kiv::discovery::JoinGroup(socket_, group_, interfaces_);
  // Without it the thread still ends, only up to one wait later.
  wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  try {
    thread_ = std::make_unique<PThread>(nullptr, this, &KivDiscoverClient::ThreadLoop, nullptr);
  } catch (...) {
    if (socket_ != kiv::INVALID_SOCKET) ::close(socket_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
    throw;
  }
}

KivDiscoverClient::~KivDiscoverClient() {
  stopping_ = true;
  // Closing a descriptor that another thread polls neither wakes it here
  // nor is safe (the number may be reused at once), so the thread is woken
  // through the eventfd and the socket is closed once it has ended.
  if (wakeFd_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
  }
  if (thread_) {
    thread_->Join(nullptr);
    thread_.reset();
  }
  if (socket_ != kiv::INVALID_SOCKET) ::close(socket_);
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void KivDiscoverClient::AddListener(KivDiscover* listener) {
  PScopedLock lock(&listeners_);
  listeners_.insert(listener);
}

void KivDiscoverClient::RemoveListener(KivDiscover* listener) {
  PScopedLock lock(&listeners_);
  listeners_.erase(listener);
}

std::string KivDiscoverClient::GetDirectoryHost(const std::string& serverId) {
  PScopedLock lock(&tableLock_);
  return table_.Host(serverId);
}

void KivDiscoverClient::TouchDirectory(const std::string& serverId) {
  PScopedLock lock(&tableLock_);
  table_.Touch(serverId, kiv::WallSeconds());
}

int KivDiscoverClient::WaitForUser(const std::u16string& user, unsigned timeoutMs,
                                   std::u16string& host) {
  const std::int64_t start = kiv::TickMilliseconds();
  std::int64_t now = start;
  // Empty until the first SEARCH, which goes out at the first miss whatever
  // the counter reads.
  std::optional<std::int64_t> lastSearch;
  const std::string name = kiv::ToUtf8(user);
  for (;;) {
    {
      PScopedLock lock(&tableLock_);
      if (auto found = table_.UserHost(name)) {
        host = kiv::FromUtf8(*found);
        return kUserFound;
      }
    }
    if (now - start > static_cast<std::int64_t>(timeoutMs)) return kUserNotFound;
    now = kiv::TickMilliseconds();
    if (!lastSearch || now - *lastSearch >= kiv::LimitMs(kiv::TimeLimit::kSearchInterval)) {
      SendSearch();
      lastSearch = now;
    }
    std::this_thread::sleep_for(kUserPollInterval);
  }
}

void KivDiscoverClient::SendSearch() {
  PScopedLock lock(&interfacesLock_);
  kiv::discovery::SendSearchOn(socket_, group_, interfaces_);
}

bool KivDiscoverClient::ProcessNotify(kiv::SOCKET socket) {
  char buffer[kiv::discovery::kMaxDatagramSize + 1];
  kiv::IPv4Address source = 0;
  int error = 0;
  const long received = kiv::discovery::ReceiveDatagram(
      socket, buffer, kiv::discovery::kMaxDatagramSize, &source, &error);
  if (received < 0) {
    LogDebug(u"ProcessNotify: failed data: %d", error);
    return false;
  }
  if (received == 0) {
    LogDebug(u"ProcessNotify: no data");
    return false;
  }
  if (!fence_ || !fence_->Allows(source)) {
    LogDebug(u"ProcessNotify: ignored a datagram from %hs, outside AllowedPeers",
             kiv::DottedAddress(source).c_str());
    return false;
  }
  buffer[received] = '\0';
  const std::string_view text =
      kiv::discovery::DatagramText(buffer, static_cast<std::size_t>(received));
  switch (kiv::discovery::ClassifyDatagram(text)) {
    case kiv::discovery::DatagramKind::kNotify:
      return ParseNotify(kiv::DottedAddress(source), text);
    case kiv::discovery::DatagramKind::kByeBye:
      return ParseByeBye(text);
    case kiv::discovery::DatagramKind::kOther:
      break;
  }
  return false;  // SEARCH (ours included) and anything else
}

bool KivDiscoverClient::ParseNotify(const std::string& source, std::string_view text) {
  const auto fields = kiv::discovery::ReadNotify(source, text);
  if (!fields) return false;
  UpdateDirectory(fields->serverId, fields->host, fields->aliases, fields->users);
  ReportDirectoryStatus(fields->serverId, KIV_ALIVE);
  return true;
}

bool KivDiscoverClient::ParseByeBye(std::string_view text) {
  const auto serverId = kiv::discovery::ReadByeBye(text);
  if (!serverId) return false;
  DirectoryDown(*serverId, true);
  ReportDirectoryStatus(*serverId, KIV_SHUTDOWN);
  return true;
}

bool KivDiscoverClient::RefreshInterfaces() {
  std::vector<kiv::IPv4Address> fresh;
  kiv::GetLocalAddresses(fresh);
  PScopedLock lock(&interfacesLock_);
  if (fresh == interfaces_) return false;
  interfaces_ = std::move(fresh);
  return true;
}

void KivDiscoverClient::ExpireDirectories() {
  const std::int64_t now = kiv::WallSeconds();
  std::vector<std::string> expired;
  {
    PScopedLock lock(&tableLock_);
    expired = table_.Expired(now);
  }
  for (const std::string& serverId : expired) {
    DirectoryDown(serverId, false);
    ReportDirectoryStatus(serverId, KIV_DEAD);
  }
}

void KivDiscoverClient::UpdateDirectory(const std::string& serverId, const std::string& host,
                                        const std::set<std::string>& aliases,
                                        const std::set<std::string>& users) {
  kiv::discovery::DirectoryUpdate update;
  {
    PScopedLock lock(&tableLock_);
    update = table_.Update(serverId, host, aliases, users, kiv::WallSeconds());
  }
  // A newcomer to a full table: nobody hears of it.
  if (update.ignored) return;
  for (const auto& [leftId, left] : update.pending) {
    NotifyListeners(leftId, left,
                    update.hostChanged && leftId == serverId ? KIV_DEAD : KIV_DELUSER);
  }
  if (update.status == KIV_ALIVE || !update.added.empty()) {
    NotifyListeners(serverId, update.added, update.status);
  }
}

bool KivDiscoverClient::RemoveDirectory(const std::string& serverId, std::set<std::string>& users) {
  PScopedLock lock(&tableLock_);
  return table_.Remove(serverId, users);
}

void KivDiscoverClient::DirectoryDown(const std::string& serverId, bool shutdown) {
  {
    PScopedLock lock(&tableLock_);
    if (!table_.Contains(serverId)) return;
  }
  std::set<std::string> users;
  if (RemoveDirectory(serverId, users) && !users.empty()) {
    NotifyListeners(serverId, users, shutdown ? KIV_SHUTDOWN : KIV_DEAD);
  }
}

void KivDiscoverClient::NotifyListeners(const std::string& serverId,
                                        const std::set<std::string>& users, KIVSTATUS status) {
  if (status == KIV_ALIVE || status == KIV_DEAD || status == KIV_SHUTDOWN) {
    ReportDirectoryStatus(serverId, status);
  }
  std::vector<const char*> names;
  names.reserve(users.size());
  for (const std::string& user : users) names.push_back(user.c_str());
  const char* id = serverId.c_str();
  const auto count = static_cast<unsigned>(names.size());

  PScopedLock lock(&listeners_);
  for (KivDiscover* listener : listeners_) {
    switch (status) {
      case KIV_ALIVE:
        listener->OnKivDirectoryUp(id, names.data(), count);
        break;
      case KIV_DEAD:
        listener->OnKivDirectoryDown(id, names.data(), count, false);
        break;
      case KIV_SHUTDOWN:
        listener->OnKivDirectoryDown(id, names.data(), count, true);
        break;
      case KIV_ADDUSER:
        listener->OnAddUser(id, names.data(), count);
        break;
      case KIV_DELUSER:
        listener->OnRemoveUser(id, names.data(), count);
        break;
      case KIV_UNKNOWN:
        break;
    }
  }
}

std::vector<kiv::IPv4Address> KivDiscoverClient::Interfaces() {
  PScopedLock lock(&interfacesLock_);
  return interfaces_;
}

bool KivDiscoverClient::TablesConsistent() {
  PScopedLock lock(&tableLock_);
  return table_.Consistent();
}

std::size_t KivDiscoverClient::DirectoryCount() {
  PScopedLock lock(&tableLock_);
  return table_.size();
}

std::size_t KivDiscoverClient::UserCount() {
  PScopedLock lock(&tableLock_);
  return table_.userCount();
}

bool KivDiscoverClient::WaitForDatagram(int milliseconds) {
  pollfd watched[2];
  nfds_t count = 0;
  if (socket_ != kiv::INVALID_SOCKET) watched[count++] = pollfd{socket_, POLLIN, 0};
  if (wakeFd_ >= 0) watched[count++] = pollfd{wakeFd_, POLLIN, 0};
  // With nothing to watch (no socket, no eventfd) poll still paces the loop.
  const int ready = ::poll(count == 0 ? nullptr : watched, count, milliseconds);
  return ready > 0 && socket_ != kiv::INVALID_SOCKET && !stopping_ && (watched[0].revents != 0);
}

void* KivDiscoverClient::ThreadLoop(void*) {
  SendSearch();
  std::int64_t lastPeriodic = kiv::WallSeconds();
  int turnMs = kBusyTurnMilliseconds;
  while (!stopping_) {
    ++loopTurns_;
    const std::int64_t now = kiv::WallSeconds();
    if (now - lastPeriodic >= kPeriodSeconds) {
      if (RefreshInterfaces()) SendSearch();
      ExpireDirectories();
      lastPeriodic = now;
      ++periodicRuns_;
    }
    if (WaitForDatagram(turnMs)) ProcessNotify(socket_);
    const kiv::discovery::PeriodicWork work = kiv::discovery::gPeriodicWork.load();
    turnMs = work != nullptr && work() ? kBusyTurnMilliseconds : kIdleTurnMilliseconds;
  }
  LogDebug(u"DiscoverClient thread done");
  return nullptr;
}

boost::shared_ptr<KivDiscoverClient> GetDiscoverClient() {
  static PMutex creationLock;
  static boost::weak_ptr<KivDiscoverClient> current;
  PScopedLock lock(&creationLock);
  boost::shared_ptr<KivDiscoverClient> client = current.lock();
  if (!client) {
    client = boost::make_shared<KivDiscoverClient>();
    current = client;
  }
  return client;
}

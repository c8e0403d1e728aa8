#include "directory/directory_service.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "directory/directory_values.h"
#include "directory/liveness_probe.h"
#include "directory/table_file.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/value.h"
#include "kiv/vutil.h"
#include "support/log/log.h"
#include "support/metrics/metrics.h"
#include "support/net/net.h"

namespace kiv::directory {
namespace {

constexpr char16_t kNoticeService[] = u"OnServiceAvailabilityChanged";
// The return code of a request the directory could not carry out.
constexpr std::int32_t kFailed = -1;
// Every notice waits at most 30 seconds for its listener.
constexpr KIVFLAGS kBoundedRequest = static_cast<KIVFLAGS>(2);
// How many holders of a name a registration pings, should the name change
// hands while one is pinged; past them the name counts as in use.
constexpr int kHolderChecks = 3;

metrics::Counter registrations{"kiv_directory_registrations_total",
                               "Register requests the directory accepted (new and repeated)"};
metrics::Gauge satelliteCount{"kiv_directory_satellites",
                              "Satellites in the directory's table, itself included"};
metrics::Counter noticesSent{"kiv_directory_notices_sent_total",
                             "Availability notices listeners took"};
metrics::Counter noticesDropped{"kiv_directory_notices_dropped_total",
                                "Availability notices not delivered (listener failed or silent)"};
metrics::Counter eventsDropped{
    "kiv_directory_events_dropped_total",
    "Directory events not delivered to a follower (it failed, was silent or fell 1,000 behind)"};

// Calls one member of the service with the requesting connection's socket.
// A request of the wrong shape is refused with the readers' code (1), and
// logged with the address it came from.
class DirectoryHandler : public KivSatelliteDelegateWithId {
 public:
  DirectoryHandler(DirectoryService* service, DirectoryService::Handler method,
                   const char16_t* name)
      : service_(service), method_(method), name_(name) {}

  std::int32_t InvokeWithId(std::int32_t sd, const char16_t* source, const VARIANT& inParams,
                            VARIANT* outParams) override {
    try {
      return (service_->*method_)(sd, source, inParams, outParams);
    } catch (const KivException& e) {
      LogWarn(u"kivd: refused %s from %s at %hs: %s", name_, source, GetPeerAddress(sd).c_str(),
              e.getMessage());
      VariantClear(outParams);
      return e.getCode();
    } catch (const std::exception& e) {
      // Out of memory, most likely: refuse this request, keep serving.
      LogError(u"kivd: %s from %s failed: %hs", name_, source, e.what());
      VariantClear(outParams);
      return kFailed;
    }
  }

 private:
  DirectoryService* service_;
  DirectoryService::Handler method_;
  const char16_t* name_;
};

bool IsLoopback(const std::string& dotted) {
  return dotted.starts_with("127.");
}

// The address by which the peer of sd reached us, or "".
std::string LocalAddressOf(std::int32_t sd) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (::getsockname(sd, reinterpret_cast<sockaddr*>(&local), &size) != 0) return "";
  return DottedAddress(local.sin_addr.s_addr);
}

// A satellite that registered over loopback lives on this machine; a peer
// on another machine reaches it at the address by which it reached us.
std::string ReachableHost(const std::string& host, std::int32_t sd) {
  if (!IsLoopback(host) || IsLoopback(GetPeerAddress(sd))) return host;
  const std::string local = LocalAddressOf(sd);
  return local.empty() ? host : local;
}

std::u16string Joined(const std::vector<std::u16string>& names) {
  std::u16string text;
  for (const std::u16string& name : names) text += (text.empty() ? u"" : u", ") + name;
  return text;
}

std::vector<std::u16string> ServiceNames(const std::vector<ServiceOffer>& services) {
  std::vector<std::u16string> names;
  for (const ServiceOffer& offer : services) names.push_back(offer.name);
  return names;
}

// The services of `before` that `after` no longer offers.
std::vector<std::u16string> Gone(const SatelliteRecord& before, const SatelliteRecord& after) {
  std::vector<std::u16string> gone;
  for (const ServiceOffer& offer : before.services) {
    if (std::none_of(after.services.begin(), after.services.end(),
                     [&](const ServiceOffer& kept) { return kept.name == offer.name; })) {
      gone.push_back(offer.name);
    }
  }
  return gone;
}

}  // namespace

DirectoryService::DirectoryService(DirectoryConfig options)
    : options_(std::move(options)),
      serverId_(FromUtf8(options_.serverId)),
      notices_([this](const AvailabilityNotice& notice) { return DeliverNotice(notice); },
               [](const std::u16string& listener, std::size_t count, const char* why) {
                 noticesDropped.Add(count);
                 LogInfo(u"kivd: %d availability notices for %s dropped: %hs",
                         static_cast<int>(count), listener.c_str(), why);
               }),
      eventSender_([this](const EventNotice& notice) { return DeliverEvent(notice); },
                   [](const std::u16string& follower, std::size_t count, const char* why) {
                     eventsDropped.Add(count);
                     LogInfo(u"kivd: %d events for %s dropped: %hs", static_cast<int>(count),
                             follower.c_str(), why);
                   }),
      pinger_(
          options_.pingInterval, [this] { return PingTargets(); },
          [](const SatelliteRecord& record, std::chrono::milliseconds answerTime) {
            return AnswersPing(record.host, record.port, record.id, answerTime);
          },
          [this](const SatelliteRecord& record, bool answered) { ReportPing(record, answered); }),
      announcer_({options_.serverId, options_.port, options_.aliases, options_.users},
                 options_.notifyInterval) {
  if (!options_.tableFile.empty()) {
    saver_ = std::make_unique<TableSaver>(options_.tableFile, [this] { return TableFileText(); });
  }
}

DirectoryService::~DirectoryService() {
  Stop();
}

void DirectoryService::InitServices() {
  struct Entry {
    const char16_t* name;
    const char16_t* description;
    Handler method;
  };
  static const Entry kEntries[] = {
      {u"Register", u"registers a satellite and its services", &DirectoryService::Register},
      {u"UnRegister", u"withdraws services", &DirectoryService::UnRegister},
      {u"RemoveSatellite", u"forgets a satellite", &DirectoryService::RemoveSatellite},
      {u"GetServiceReg", u"lists the satellites offering a service",
       &DirectoryService::GetServiceReg},
      {u"GetSatelliteHost", u"the address of a satellite", &DirectoryService::GetSatelliteHost},
      {u"AddServiceAvailabilityListener", u"follows services", &DirectoryService::AddListener},
      {u"RemoveServiceAvailabilityListener", u"stops following services",
       &DirectoryService::RemoveListener},
      {kListSatellites, u"every registered satellite", &DirectoryService::ListSatellites},
      {kAddEventListener, u"follows every change of the directory",
       &DirectoryService::AddEventListener},
      {kRemoveEventListener, u"stops following the directory's changes",
       &DirectoryService::RemoveEventListener},
  };
  for (const Entry& entry : kEntries) {
    AddService(entry.name, entry.description, new DirectoryHandler(this, entry.method, entry.name));
  }
}

std::int32_t DirectoryService::Start(std::string* error) {
  // Before anyone can register, so that no newcomer takes a remembered id.
  const std::vector<SatelliteRecord> remembered =
      saver_ ? RestoreTable() : std::vector<SatelliteRecord>{};
  const std::string port = std::to_string(options_.port);
  const std::u16string self = FromUtf8(options_.selfAddress + ":" + port);
  const std::int32_t connected = Connect(self.c_str(), kDirectoryName);
  if (connected != 0) {
    *error = "cannot serve on TCP port " + port +
             " (is another directory running?): " + DescribeResult(connected);
    return connected;
  }
  try {
    DropSilent(remembered);
    notices_.Start();
    eventSender_.Start();
    pinger_.Start();
    if (saver_) saver_->Start();
  } catch (const std::exception& e) {
    *error = std::string("cannot start a thread: ") + e.what();
    Stop();
    return 1;
  }
  if (!announcer_.Start()) {
    *error = "cannot announce on the discovery group (UDP port 1901)";
    Stop();
    return 1;
  }
  started_ = true;
  LogInfo(u"kivd: directory %s ready on port %d", serverId_.c_str(), options_.port);
  return 0;
}

void DirectoryService::Stop() {
  announcer_.Stop();
  pinger_.Stop();
  notices_.Stop();
  eventSender_.Stop();
  if (isConnected()) Disconnect();
  if (saver_) saver_->Stop();
  if (started_) LogInfo(u"kivd: directory %s stopped", serverId_.c_str());
  started_ = false;
}

std::int32_t DirectoryService::Register(std::int32_t sd, const char16_t*, const VARIANT& in,
                                        VARIANT* out) {
  const Registration registration = ReadRegistration(in, GetPeerAddress(sd));
  if (registration.name == kDirectoryName) {
    // Only this directory registers under its own name.
    const auto own = table_.Find(kDirectoryName);
    if (own && own->id != registration.knownId) {
      throw KivInvalidParameterException(u"the name MainRegister belongs to this directory");
    }
  }
  // A holder of the name that answers a ping keeps it; one that does not
  // is replaced. The ping runs outside the locks, so should the name change
  // hands meanwhile, the new holder is asked in turn.
  std::int32_t replaceable = options_.allowTakeover ? kReplaceAnyHolder : kReplaceNoHolder;
  RegisterOutcome outcome;
  for (int checks = 0;; ++checks) {
    {
      PScopedLock hold(&changeLock_);
      outcome = table_.Register(registration, replaceable);
      notices_.Queue(outcome.notices);
      if (!outcome.heldBy) {
        // New to the directory, or offering more: news; anything else is
        // the satellite saying again what the directory knows, or a new
        // process taking its name over.
        const bool news = outcome.created ? !outcome.replaced : !outcome.added.empty();
        if (outcome.replaced) events_.Unfollow(registration.name);
        const SatelliteRecord record = *table_.Find(registration.name);
        RecordLocked(news ? "registered" : "reregistered", record,
                     news ? outcome.added : ServiceNames(record.services));
      }
    }
    if (!outcome.heldBy) break;
    const SatelliteRecord& holder = *outcome.heldBy;
    if (checks == kHolderChecks || AnswersPing(holder.host, holder.port, holder.id)) {
      LogWarn(
          u"kivd: refused satellite %s at %hs:%d: the name is in use by the live satellite "
          u"of id %d at %hs:%d (kivd --allow-takeover lets newcomers replace live holders)",
          registration.name.c_str(), registration.host.c_str(), registration.port, holder.id,
          holder.host.c_str(), holder.port);
      *out = HostAnswer(ReachableHost(holder.host, sd), holder.port).Detach();
      return KIV_RC_NAME_IN_USE;
    }
    replaceable = holder.id;
  }
  TableChanged();
  const std::u16string& name = registration.name;
  if (outcome.created) {
    LogInfo(u"kivd: registered satellite %s (id %d) at %hs:%d%s", name.c_str(), outcome.id,
            registration.host.c_str(), registration.port,
            outcome.replaced ? u", replacing the earlier one of that name" : u"");
  }
  if (!outcome.added.empty()) {
    LogInfo(u"kivd: satellite %s (id %d) offers %s", name.c_str(), outcome.id,
            Joined(outcome.added).c_str());
  }
  *out = RegisterAnswer(serverId_, outcome.id).Detach();
  registrations.Add();
  return KIV_OK;
}

std::int32_t DirectoryService::UnRegister(std::int32_t sd, const char16_t*, const VARIANT& in,
                                          VARIANT*) {
  const Registration registration = ReadRegistration(in, GetPeerAddress(sd));
  std::optional<std::vector<AvailabilityNotice>> withdrawn;
  {
    PScopedLock hold(&changeLock_);
    const auto before = table_.Find(registration.name);
    withdrawn = table_.Withdraw(registration.name, registration.knownId,
                                ServiceNames(registration.services));
    if (withdrawn) {
      notices_.Queue(*withdrawn);
      const SatelliteRecord after = *table_.Find(registration.name);
      const std::vector<std::u16string> gone = Gone(*before, after);
      if (!gone.empty()) RecordLocked("withdrew", after, gone);
    }
  }
  if (!withdrawn) return KIV_RC_NOT_FOUND;
  TableChanged();
  LogInfo(u"kivd: satellite %s (id %d) withdrew %s", registration.name.c_str(),
          registration.knownId, Joined(ServiceNames(registration.services)).c_str());
  return KIV_OK;
}

std::int32_t DirectoryService::RemoveSatellite(std::int32_t sd, const char16_t*, const VARIANT& in,
                                               VARIANT*) {
  const Registration registration = ReadRegistration(in, GetPeerAddress(sd));
  std::optional<RemoveOutcome> removed;
  {
    PScopedLock hold(&changeLock_);
    removed = table_.Remove(registration.name, registration.knownId);
    if (removed) {
      notices_.Queue(removed->notices);
      RecordLocked("removed", removed->record, ServiceNames(removed->record.services));
    }
  }
  if (!removed) return KIV_RC_NOT_FOUND;
  TableChanged();
  LogInfo(u"kivd: satellite %s (id %d) removed itself", registration.name.c_str(),
          removed->record.id);
  return KIV_OK;
}

std::int32_t DirectoryService::GetServiceReg(std::int32_t sd, const char16_t*, const VARIANT& in,
                                             VARIANT* out) {
  const ServiceQuery query = ReadServiceQuery(in);
  std::vector<ServiceEntry> entries = table_.Offers(query.destination, query.service);
  if (entries.empty()) return KIV_RC_NOT_FOUND;
  for (ServiceEntry& entry : entries) entry.host = ReachableHost(entry.host, sd);
  *out = EntriesAnswer(entries).Detach();
  return KIV_OK;
}

std::int32_t DirectoryService::GetSatelliteHost(std::int32_t sd, const char16_t*, const VARIANT& in,
                                                VARIANT* out) {
  VUtil::checkType(in, VT_BSTR, u"GetSatelliteHost");
  const std::u16string name(in.bstrVal, SysStringLen(in.bstrVal));
  if (name.find(u'\0') != std::u16string::npos) return KIV_RC_NAME_HOLDS_NUL;
  const auto record = table_.Find(name);
  if (!record) return KIV_RC_SATELLITE_UNAVAILABLE;
  *out = HostAnswer(ReachableHost(record->host, sd), record->port).Detach();
  return KIV_OK;
}

std::int32_t DirectoryService::AddListener(std::int32_t, const char16_t* source, const VARIANT& in,
                                           VARIANT*) {
  const std::vector<std::u16string> names = ReadNames(in);
  table_.AddListener(source, names);
  TableChanged();
  LogDebug(u"kivd: %s follows %s", source, Joined(names).c_str());
  return KIV_OK;
}

std::int32_t DirectoryService::RemoveListener(std::int32_t, const char16_t* source,
                                              const VARIANT& in, VARIANT*) {
  const std::vector<std::u16string> names = ReadNames(in);
  table_.RemoveListener(source, names);
  TableChanged();
  LogDebug(u"kivd: %s no longer follows %s", source, Joined(names).c_str());
  return KIV_OK;
}

std::int32_t DirectoryService::AddEventListener(std::int32_t, const char16_t* source,
                                                const VARIANT&, VARIANT*) {
  events_.Follow(source);
  LogDebug(u"kivd: %s follows the directory", source);
  return KIV_OK;
}

std::int32_t DirectoryService::RemoveEventListener(std::int32_t, const char16_t* source,
                                                   const VARIANT&, VARIANT*) {
  events_.Unfollow(source);
  LogDebug(u"kivd: %s no longer follows the directory", source);
  return KIV_OK;
}

std::int32_t DirectoryService::ListSatellites(std::int32_t sd, const char16_t*, const VARIANT&,
                                              VARIANT* out) {
  std::vector<SatelliteRecord> satellites = table_.Satellites();
  for (SatelliteRecord& record : satellites) record.host = ReachableHost(record.host, sd);
  *out = ListAnswer(satellites).Detach();
  return KIV_OK;
}

std::vector<SatelliteRecord> DirectoryService::PingTargets() const {
  std::vector<SatelliteRecord> targets = table_.Satellites();
  std::erase_if(targets, [](const SatelliteRecord& r) { return r.name == kDirectoryName; });
  return targets;
}

void DirectoryService::ReportPing(const SatelliteRecord& record, bool answered) {
  std::optional<RemoveOutcome> dropped;
  {
    PScopedLock hold(&changeLock_);
    dropped = table_.RecordPing(record.id, answered);
    if (dropped) {
      notices_.Queue(dropped->notices);
      RecordLocked("dropped", dropped->record, ServiceNames(dropped->record.services));
    }
  }
  if (!answered && !dropped) {
    LogDebug(u"kivd: satellite %s (id %d) at %hs:%d missed a ping", record.name.c_str(), record.id,
             record.host.c_str(), record.port);
  }
  if (dropped) {
    TableChanged();
    LogInfo(u"kivd: dropped satellite %s (id %d) at %hs:%d after %d missed pings",
            record.name.c_str(), record.id, record.host.c_str(), record.port, kMaxFailedPings);
  }
}

long DirectoryService::Notify(const std::u16string& listener, const char16_t* service,
                              const Variant& argument) {
  Variant values;
  Variant statuses;
  const std::int32_t result =
      Request(listener.c_str(), service, *argument, *values, kBoundedRequest, *statuses);
  if (result != 0) return result;
  try {
    return VUtil::GetSingleRetcode(*statuses);
  } catch (const KivException&) {
    return -1;
  }
}

bool DirectoryService::DeliverNotice(const AvailabilityNotice& notice) {
  const long status = Notify(notice.listener, kNoticeService, NoticeArgument(notice));
  (status == 0 ? noticesSent : noticesDropped).Add();
  if (status != 0) {
    LogDebug(u"kivd: notice %s/%s/%d to %s not delivered: 0x%x", notice.service.c_str(),
             notice.satellite.c_str(), notice.available, notice.listener.c_str(),
             static_cast<unsigned>(status));
  }
  return status == 0;
}

void DirectoryService::RecordLocked(const char* kind, const SatelliteRecord& record,
                                    const std::vector<std::u16string>& services) {
  DirectoryEvent event{std::chrono::system_clock::now(),
                       kind,
                       ToUtf8(record.name),
                       record.id,
                       record.host,
                       record.port,
                       {}};
  for (const std::u16string& service : services) event.services.push_back(ToUtf8(service));
  eventSender_.Queue(events_.Record(event));
}

bool DirectoryService::DeliverEvent(const EventNotice& notice) {
  // A follower dropped meanwhile gets nothing more.
  if (!events_.Follows(notice.follower)) return true;
  const long status =
      Notify(notice.follower, kEventService, Variant::String(FromUtf8(notice.text)));
  if (status != 0) eventsDropped.Add();
  if (status != 0 && events_.Unfollow(notice.follower)) {
    LogInfo(u"kivd: %s no longer follows the directory: an event was not delivered: 0x%x",
            notice.follower.c_str(), static_cast<unsigned>(status));
  }
  return status == 0;
}

std::vector<SatelliteRecord> DirectoryService::RestoreTable() {
  std::optional<TableImage> remembered = LoadTableFile(options_.tableFile);
  if (!remembered) return {};
  // The directory registers itself anew.
  std::erase_if(remembered->satellites,
                [](const SatelliteRecord& r) { return r.name == kDirectoryName; });
  PScopedLock hold(&changeLock_);
  return table_.Restore(*remembered);
}

void DirectoryService::DropSilent(const std::vector<SatelliteRecord>& restored) {
  if (restored.empty()) return;
  const std::vector<bool> alive = ProbeAll(restored);
  std::vector<std::u16string> dropped;
  for (std::size_t i = 0; i < restored.size(); ++i) {
    if (alive[i]) continue;
    PScopedLock hold(&changeLock_);
    if (auto removed = table_.Remove(restored[i].name, restored[i].id)) {
      notices_.Queue(removed->notices);
      RecordLocked("dropped", removed->record, ServiceNames(removed->record.services));
      dropped.push_back(restored[i].name);
    }
  }
  satelliteCount.Set(static_cast<std::int64_t>(table_.Size()));
  LogInfo(u"kivd: took back %d satellites from %hs; dropped %d that did not answer a ping%s%s",
          static_cast<int>(restored.size() - dropped.size()), options_.tableFile.c_str(),
          static_cast<int>(dropped.size()), dropped.empty() ? u"" : u": ", Joined(dropped).c_str());
}

void DirectoryService::TableChanged() {
  satelliteCount.Set(static_cast<std::int64_t>(table_.Size()));
  if (saver_) saver_->Changed();
}

std::string DirectoryService::TableFileText() const {
  TableImage image = table_.Image();
  // The directory registers itself anew at every start.
  std::erase_if(image.satellites,
                [](const SatelliteRecord& r) { return r.name == kDirectoryName; });
  return TableText(image);
}

}  // namespace kiv::directory

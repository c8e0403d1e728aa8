// The directory: the satellite "MainRegister" answering every directory
// request from a DirectoryTable, with its announcer, pinger and notices.
// Handlers run on engine worker threads, several at once; Start and Stop
// belong to the owner's thread. Failures come back as codes and messages.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "directory/announcer.h"
#include "directory/directory_config.h"
#include "directory/directory_events.h"
#include "directory/directory_table.h"
#include "directory/notice_sender.h"
#include "directory/satellite_pinger.h"
#include "directory/table_saver.h"
#include "kiv/satellite.h"
#include "kiv/value.h"
#include "support/threads/mutex.h"

namespace kiv::directory {

inline constexpr char16_t kDirectoryName[] = u"MainRegister";

class DirectoryService : public KivSatellite {
 public:
  explicit DirectoryService(DirectoryConfig options);
  // Stops first.
  ~DirectoryService() override;

  // Listens on its port (29831 by default) and registers with itself, takes back the
  // satellites of the table file that still answer a ping, then announces
  // itself and starts pinging. 0, or a message in *error and a non-zero code.
  std::int32_t Start(std::string* error);
  // BYEBYE, then stops pinging and notices, disconnects, and writes the
  // table file a last time.
  void Stop();

  const DirectoryTable& table() const { return table_; }
  // The last `max` changes (at most kRecentEvents), newest last; any thread.
  std::vector<DirectoryEvent> RecentEvents(std::size_t max) const { return events_.Recent(max); }

  // The handlers' common form: sd is the requesting connection's socket.
  using Handler = std::int32_t (DirectoryService::*)(std::int32_t sd, const char16_t* source,
                                                     const VARIANT& in, VARIANT* out);

 protected:
  void InitServices() override;

 private:
  std::int32_t Register(std::int32_t sd, const char16_t* source, const VARIANT& in, VARIANT* out);
  std::int32_t UnRegister(std::int32_t sd, const char16_t* source, const VARIANT& in, VARIANT* out);
  std::int32_t RemoveSatellite(std::int32_t sd, const char16_t* source, const VARIANT& in,
                               VARIANT* out);
  std::int32_t GetServiceReg(std::int32_t sd, const char16_t* source, const VARIANT& in,
                             VARIANT* out);
  std::int32_t GetSatelliteHost(std::int32_t sd, const char16_t* source, const VARIANT& in,
                                VARIANT* out);
  std::int32_t AddListener(std::int32_t sd, const char16_t* source, const VARIANT& in,
                           VARIANT* out);
  std::int32_t RemoveListener(std::int32_t sd, const char16_t* source, const VARIANT& in,
                              VARIANT* out);
  std::int32_t AddEventListener(std::int32_t sd, const char16_t* source, const VARIANT& in,
                                VARIANT* out);
  std::int32_t RemoveEventListener(std::int32_t sd, const char16_t* source, const VARIANT& in,
                                   VARIANT* out);
  std::int32_t ListSatellites(std::int32_t sd, const char16_t* source, const VARIANT& in,
                              VARIANT* out);

  // The pinger's side.
  std::vector<SatelliteRecord> PingTargets() const;
  void ReportPing(const SatelliteRecord& record, bool answered);
  // The notice senders' side: one request to a listener, bounded; its
  // status, or the request's code when it failed.
  long Notify(const std::u16string& listener, const char16_t* service, const Variant& argument);
  bool DeliverNotice(const AvailabilityNotice& notice);
  // Keeps a change and queues it for the followers; changeLock_ held.
  void RecordLocked(const char* kind, const SatelliteRecord& record,
                    const std::vector<std::u16string>& services);
  bool DeliverEvent(const EventNotice& notice);
  // The table file's side: the satellites taken back from it, and the
  // dropping of those that do not answer a ping.
  std::vector<SatelliteRecord> RestoreTable();
  void DropSilent(const std::vector<SatelliteRecord>& restored);
  void TableChanged();
  std::string TableFileText() const;

  const DirectoryConfig options_;
  const std::u16string serverId_;
  DirectoryTable table_;
  // Held over a table change and the queuing of its notices, so listeners
  // hear of changes in the order they happened.
  PMutex changeLock_;
  NoticeSender notices_;
  EventLog events_;
  EventSender eventSender_;
  SatellitePinger pinger_;
  Announcer announcer_;
  std::unique_ptr<TableSaver> saver_;  // none without a table file
  bool started_ = false;
};

}  // namespace kiv::directory

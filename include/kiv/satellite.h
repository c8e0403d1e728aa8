// KivSatellite: the class a native program derives from to take part in
// messaging. It declares services with handlers, connects to a directory,
// calls other satellites with Request, answers calls on engine worker
// threads (several at once) and follows other services' availability.
// Operations return i32 codes (0 = success, <kiv/result_codes.h>); handler
// failures travel as KivException. Public operations may be called from
// any thread; see the notes on each for what must not overlap.
#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <memory>

#include "kiv/delegates.h"
#include "kiv/export.h"
#include "kiv/kiv_exception.h"
#include "kiv/oleaut.h"
#include "kiv/status.h"

// The process-wide logger. Its definition is internal to the library;
// programs only hold the pointer that initLogger returns, which keeps
// logging alive, and never use the object itself.
class CBBLog;

struct KivSatelliteImpl;

// The virtual operations keep their declaration order (the binary interface
// of derived classes in other programs depends on it); add none in between.
class KIV_API KivSatellite {
 public:
  // Disconnected, with an empty service table.
  KivSatellite();
  // Disconnects (sends the unregistrations and removal) and destroys every
  // handler still in the table. Callbacks that arrive while this runs reach
  // this class's defaults, no longer the derived class: a derived class whose
  // handlers or overrides use its own members calls Disconnect() in its own
  // destructor.
  virtual ~KivSatellite();

  // Not copyable: the object owns its engine, its handlers and a count of
  // calls in flight, and the engine calls back into this very object, so a
  // copy could neither share them (both would tear them down) nor own
  // duplicates (one engine per registered satellite).
  KivSatellite(const KivSatellite&) = delete;
  KivSatellite& operator=(const KivSatellite&) = delete;

  // Connects to the directory at "host[:port]" ("localhost" means
  // 127.0.0.1; no port means the directory's own, 29831) under SatName,
  // calls InitServices and registers every declared service. 0 when all of
  // that succeeded; while connected, 0 again for the same name and address
  // and 1 (nothing changed) for any other. On failure the object stays
  // disconnected and the directory's or the engine's code is returned.
  // Never call Connect, ConnectUser or Disconnect from a handler or from
  // OnStatusChange: they wait for the engine threads that run those.
  virtual std::int32_t Connect(const char16_t* Directory, const char16_t* SatName);
  // As Connect, with the directory that discovery names for User; 404 when
  // none is heard of within 5 seconds. Throws std::exception when the
  // discovery client cannot start.
  virtual std::int32_t ConnectUser(const char16_t* User, const char16_t* SatName);
  // Unregisters every registered service and the followed names, waits for
  // Request, RegisterServices and UnregisterServices calls in flight, then
  // removes the satellite from the directory and stops its engine. Does
  // nothing while disconnected.
  virtual void Disconnect();

  // Calls ServiceName on the satellite Destination, or on every satellite
  // offering it for "ALL". OutParams receives one value per target (an
  // array of VARIANT) and RetCode one status per target (an array of VT_I4);
  // see <kiv/engine.h> KivRequest for the flags. Returns 1, leaving both
  // untouched, while disconnected. InParams stays the caller's.
  virtual std::int32_t Request(const char16_t* Destination, const char16_t* ServiceName,
                               const VARIANT& InParams, VARIANT& OutParams, KIVFLAGS Flags,
                               VARIANT& RetCode);
  // Pings the satellite SatId at HostName:PortNumber; Status becomes
  // KIV_ALIVE, or KIV_DEAD when it does not answer. 0x80060003 while
  // disconnected.
  virtual std::int32_t DirectoryPingSatellite(const char16_t* SatName, const char16_t* HostName,
                                              std::uint16_t PortNumber, std::int32_t SatId,
                                              KIVSTATUS& Status);
  // The id the directory gave this satellite; 0x80060003 while disconnected.
  virtual std::int32_t GetSatelliteId(std::int32_t& SatId);

  // Follows (or stops following) the availability of Name: the directory is
  // asked at once when connected, and again at every connection and every
  // time it comes back. Notices arrive in OnServiceAvailabilityChanged.
  virtual void AddServiceAvailabilityListener(const char16_t* Name);
  virtual void RemoveServiceAvailabilityListener(const char16_t* Name);

 protected:
  // Declares the services; called once at every connection, before they are
  // registered.
  virtual void InitServices() = 0;

  // Registers the services declared since the last registration. 1 while
  // disconnected; otherwise the engine's or the directory's code.
  virtual std::int32_t RegisterServices();
  // Withdraws the services marked by RemoveService (with all, every
  // registered service) and erases them from the table on success.
  virtual std::int32_t UnregisterServices(bool all);

  // Declare (or redeclare, replacing the handler at once) the service name,
  // compared without regard to case. The table owns the handler; a null one
  // makes calls to the service answer -2. Declaring sends nothing. The table
  // has no writers' lock: declare and remove services before connecting or
  // in InitServices, never while RegisterServices, UnregisterServices or
  // Disconnect runs on another thread.
  virtual void AddService(const char16_t* name, const char16_t* description,
                          KivServiceFunction function);
  virtual void AddService(const char16_t* name, const char16_t* description,
                          KivSatelliteDelegateGeneric* handler);
  // Marks the service for the next UnregisterServices; unknown names are
  // ignored.
  virtual void RemoveService(const char16_t* name);

  // Every incoming call, on an engine worker thread. The default runs the
  // service's handler: its return value, or the code of a KivException it
  // throws (-1 for std::logic_error or std::string), becomes RetCode; -2 when
  // the service has no handler. The engine owns InParams.
  virtual std::int32_t OnServiceRequested(std::int32_t sd, const char16_t* Source,
                                          const char16_t* ServiceName, VARIANT InParams,
                                          VARIANT& OutParams, std::int32_t& RetCode);
  // The three values of each availability notice, as the directory sent
  // them; on an engine worker thread. The default does nothing.
  virtual void OnServiceAvailabilityChanged(const char16_t* service, const char16_t* satellite,
                                            std::int32_t state);
  // Each change of the directory's state as the engine sees it, on the
  // discovery thread or on the thread that registers. The default returns 0;
  // the result is ignored.
  virtual std::int32_t OnStatusChange(std::int32_t SatId, KIVSTATUS Status);

 public:
  bool isConnected() const;
  // The name of the last successful connection ("" before the first); valid
  // until the next successful connection or the object's end.
  const char16_t* getSatelliteName() const;
  // The TCP port the engine listens on; 0 while disconnected.
  std::uint32_t getSatellitePort() const;

  // The process-wide logger, created on first use. Keep the pointer for the
  // program's life: the library logs only while some holder keeps it.
  static boost::shared_ptr<CBBLog> initLogger();

 private:
  friend struct KivSatelliteImpl;

  // Owned, never null; a unique_ptr has the layout of the plain pointer.
  std::unique_ptr<KivSatelliteImpl> impl;
};

// KivDiscover: follows the directories on the local network and the users
// each one hosts. Derive from it and override the callbacks; they all run on
// the process's one discovery thread, one at a time, and their arguments are
// lent for the call only (copy what you keep). Every KivDiscover of a
// process shares one discovery client, which lives while any of them does.
#pragma once

#include "kiv/export.h"

struct KivDiscoverHandle;

class KIV_API KivDiscover {
 public:
  // Registers this object for callbacks; starts the discovery client when
  // none runs (throws std::exception when its thread cannot start). A
  // callback can come as soon as this constructor has run, before a derived
  // class's constructor has finished.
  KivDiscover();
  // A copy is a listener of its own: it takes its own reference to the
  // client and its own registration. Assignment keeps both sides' own.
  KivDiscover(const KivDiscover& other);
  KivDiscover& operator=(const KivDiscover& other);
  // Unregisters, waiting for a callback in progress; the last KivDiscover
  // (or other holder) stops the client. Never destroy or copy a KivDiscover,
  // nor drop the last holder, inside a callback: that deadlocks. A derived
  // class whose callbacks use its own members should stop them first, as
  // its part is gone by the time this destructor unregisters.
  virtual ~KivDiscover();

  // The ip:port of the directory with this id (null reads as ""), in a new
  // malloc'd text the caller frees; null when the directory is unknown.
  virtual const char* getHostname(const char* serverId);

  // A directory appeared, with the users now assigned to it (maybe none).
  virtual int OnKivDirectoryUp(const char* serverId, const char* const* users, unsigned count);
  // A directory went away with the users it had; shutdown when it said so.
  virtual int OnKivDirectoryDown(const char* serverId, const char* const* users, unsigned count,
                                 bool shutdown);
  // Users newly assigned to a known directory.
  virtual int OnAddUser(const char* serverId, const char* const* users, unsigned count);
  // Users a directory no longer hosts.
  virtual int OnRemoveUser(const char* serverId, const char* const* users, unsigned count);

 private:
  KivDiscoverHandle* handle_;  // owned; holds the shared client reference
};

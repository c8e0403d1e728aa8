// Helpers for the discovery tests, which run in a private network namespace:
// a KivDiscover that records its callbacks and the statuses the client
// reports to the engine in one timeline, and a configuration store of the
// test's own.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "discovery/discover_client.h"
#include "kiv/discover.h"
#include "support/registry/registry_test_util.h"
#include "support/threads/mutex.h"
#include "testing/group_peer.h"

namespace kiv::discoverytest {

// Lines such as "up dir1 [alice,bob]", "down dir1 [] shutdown", "add dir1
// [carol]", "remove dir2 [bob]" for callbacks and "dir1 ALIVE" for reports,
// in one timeline. One at a time: it takes the process's report hook.
class Recorder : public KivDiscover {
 public:
  Recorder() : previous_(discovery::ReplaceDirectoryStatusReportForTesting(&Report)) {
    Take();
    // Registered again once built, so no callback meets a half-built object.
    GetDiscoverClient()->AddListener(this);
  }
  ~Recorder() override {
    GetDiscoverClient()->RemoveListener(this);
    discovery::ReplaceDirectoryStatusReportForTesting(previous_);
  }

  int OnKivDirectoryUp(const char* id, const char* const* users, unsigned count) override {
    return Record("up", id, users, count, "");
  }
  int OnKivDirectoryDown(const char* id, const char* const* users, unsigned count,
                         bool shutdown) override {
    return Record("down", id, users, count, shutdown ? " shutdown" : "");
  }
  int OnAddUser(const char* id, const char* const* users, unsigned count) override {
    return Record("add", id, users, count, "");
  }
  int OnRemoveUser(const char* id, const char* const* users, unsigned count) override {
    return Record("remove", id, users, count, "");
  }

  // Every line so far, and forgets them.
  static std::vector<std::string> Take() {
    PScopedLock lock(&Shared().lock);
    return std::move(Shared().lines);
  }
  // The directory's address as getHostname answers it, "<null>" for none.
  std::string Host(const char* serverId) {
    const char* host = getHostname(serverId);
    const std::string copy = host != nullptr ? host : "<null>";
    std::free(const_cast<char*>(host));
    return copy;
  }

 private:
  struct Timeline {
    PMutex lock;
    std::vector<std::string> lines;
  };
  static Timeline& Shared() {
    static Timeline timeline;
    return timeline;
  }
  static void Add(std::string line) {
    PScopedLock lock(&Shared().lock);
    Shared().lines.push_back(std::move(line));
  }
  static void Report(const char* id, std::int32_t status) {
    static const char* const kNames[] = {"OTHER", "ALIVE", "DEAD", "SHUTDOWN"};
    Add(std::string(id) + " " + kNames[status >= 1 && status <= 3 ? status : 0]);
  }
  static int Record(const char* kind, const char* id, const char* const* users, unsigned count,
                    const char* suffix) {
    std::string line = std::string(kind) + " " + id + " [";
    for (unsigned i = 0; i < count; ++i) line += (i > 0 ? "," : "") + std::string(users[i]);
    Add(line + "]" + suffix);
    return 0;
  }

  const discovery::DirectoryStatusReport previous_;
};

// A configuration store of the test's own, naming the group when given one.
class GroupRegistry : public TempRegistry {
 public:
  explicit GroupRegistry(const std::string& group = "") {
    Write(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\Software\\ZIB Networks\\Zib\\Config]\n" +
        (group.empty() ? std::string() : "\"kiv.multicastGroup\"=\"" + group + "\"\n"));
  }
};

}  // namespace kiv::discoverytest

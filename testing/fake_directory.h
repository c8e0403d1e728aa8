// Test helpers for the engine: FakeDirectory, a directory inside the test
// process, and TestEngine, a satellite engine with std::function handlers.
//
// FakeDirectory is an engine registered as "MainRegister" on TCP port
// 29831 of 127.0.0.1, so the test binary must run in a private network
// (kiv_test ... PRIVATE_NETWORK) and hold one FakeDirectory at a time. It
// answers "Register", "UnRegister", "RemoveSatellite", "GetServiceReg" and
// "GetSatelliteHost" from a table of the satellites that registered,
// records every request it receives, and lets a test replace the answer to
// any request. Its handlers run on the directory engine's worker threads;
// every member is safe to call from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kiv/engine.h"
#include "kiv/value.h"
#include "support/threads/cond.h"

namespace kiv::testing {

// One request as the directory received it.
struct DirectoryRequest {
  std::u16string caller;
  std::u16string name;
  kiv::Variant argument;
  std::string peer;  // dotted address of the requesting connection
};

// A satellite as the directory keeps it.
struct DirectoryEntry {
  std::int32_t id = 0;
  std::u16string name;
  std::u16string computer;
  std::string host;  // the peer address of its "Register"
  std::uint16_t port = 0;
  std::vector<std::pair<std::u16string, std::u16string>> services;  // name, description
};

class FakeDirectory {
 public:
  // Answers one request: fill *value and *returnCode and return the result
  // (a negative result goes back alone, as a refusal).
  using Handler = std::function<std::int32_t(const DirectoryRequest& request, VARIANT* value,
                                             std::int32_t* returnCode)>;

  // Creates the engine and registers it with itself. Check ok().
  explicit FakeDirectory(std::string directoryId = "fake-directory");
  // Removes and destroys the engine.
  ~FakeDirectory();
  FakeDirectory(const FakeDirectory&) = delete;
  FakeDirectory& operator=(const FakeDirectory&) = delete;

  // Whether the directory listens and answered its own registration.
  bool ok() const { return ok_; }
  KIV* engine() const { return engine_; }
  const std::string& id() const { return id_; }

  // Replaces the answer to one request name (exact); an empty handler
  // restores the built-in one. The built-in answers:
  // - "Register": [directory id, satellite id] (VT_BSTR, VT_I4), code 0; a
  //   record carrying a known id keeps it, others get the next id from 1.
  // - "UnRegister": withdraws the listed services, code 0 (1 if unknown).
  // - "RemoveSatellite": forgets the satellite, code 0 (1 if unknown).
  // - "GetServiceReg": entries [service, name, name, host, port (VT_I4),
  //   computer, id] of the satellites offering the service (caseless): all
  //   of them for "ALL", else the one named; code 0, maybe no entries.
  // - "GetSatelliteHost": [[host, port]], or code 0x40000 when unknown.
  // Any other request is answered with code 1 and no value.
  void SetHandler(const std::u16string& request, Handler handler);

  std::vector<DirectoryRequest> Requests() const;
  std::vector<DirectoryRequest> RequestsNamed(const std::u16string& name) const;
  // Waits until at least `count` requests of that name arrived.
  bool WaitForRequests(const std::u16string& name, std::size_t count, int timeoutMs) const;
  void ClearRequests();

  std::vector<DirectoryEntry> Satellites() const;
  std::optional<DirectoryEntry> FindSatellite(const std::u16string& name) const;
  // Adds or replaces an entry, e.g. one that points at a fake peer.
  void PutSatellite(DirectoryEntry entry);

 private:
  static std::int32_t OnRequest(KIV* engine, void* context, int socket, BSTR caller, BSTR service,
                                VARIANT argument, VARIANT* value, std::int32_t* returnCode);
  std::int32_t Answer(const DirectoryRequest& request, VARIANT* value, std::int32_t* returnCode);
  std::int32_t Register(const DirectoryRequest& request, VARIANT* value, std::int32_t* returnCode);
  std::int32_t UnRegister(const DirectoryRequest& request, std::int32_t* returnCode);
  std::int32_t Remove(const DirectoryRequest& request, std::int32_t* returnCode);
  std::int32_t GetServiceReg(const DirectoryRequest& request, VARIANT* value,
                             std::int32_t* returnCode);
  std::int32_t GetSatelliteHost(const DirectoryRequest& request, VARIANT* value,
                                std::int32_t* returnCode);

  const std::string id_;
  KIV* engine_ = nullptr;
  bool ok_ = false;
  mutable PCondMutex lock_;  // guards everything below
  std::vector<DirectoryRequest> requests_;
  std::vector<DirectoryEntry> satellites_;  // registration order
  std::map<std::u16string, Handler> handlers_;
  std::int32_t nextId_ = 1;
};

// A satellite engine for tests. Handlers may be replaced at any time;
// every member is safe to call from any thread.
class TestEngine {
 public:
  using RequestHandler = std::function<std::int32_t(
      const std::u16string& caller, const std::u16string& service, const VARIANT& argument,
      VARIANT* value, std::int32_t* returnCode)>;

  // Without a handler, requests are answered with result 0, code 0 and a
  // copy of the argument (an echo).
  explicit TestEngine(RequestHandler handler = {});
  // KivRemoveSatellite (unless Remove ran) and KivDestroy.
  ~TestEngine();
  TestEngine(const TestEngine&) = delete;
  TestEngine& operator=(const TestEngine&) = delete;

  KIV* get() const { return engine_; }
  void SetHandler(RequestHandler handler);

  // KivRegister with services [name, ""] each; answers the return code
  // (VT_I4 read as a number, -1 for any other shape).
  std::int32_t Register(const std::u16string& name,
                        const std::vector<std::u16string>& services = {},
                        const char* directoryHost = "127.0.0.1", std::int32_t port = 0);
  // KivRemoveSatellite's result.
  std::int32_t Remove();

  // Every onStatus call so far: (satellite id, status).
  std::vector<std::pair<std::int32_t, std::int32_t>> Statuses() const;
  bool WaitForStatus(std::int32_t status, int timeoutMs) const;

 private:
  static std::int32_t OnRequest(KIV* engine, void* context, int socket, BSTR caller, BSTR service,
                                VARIANT argument, VARIANT* value, std::int32_t* returnCode);
  static std::int32_t OnStatus(KIV* engine, void* context, std::int32_t satelliteId,
                               std::int32_t status);

  KIV* engine_ = nullptr;
  bool removed_ = false;
  mutable PCondMutex lock_;  // guards the two below
  RequestHandler handler_;
  std::vector<std::pair<std::int32_t, std::int32_t>> statuses_;
};

// The services value KivRegister takes: [name, description] per service.
kiv::Variant MakeServices(const std::vector<std::pair<std::u16string, std::u16string>>& services);

}  // namespace kiv::testing

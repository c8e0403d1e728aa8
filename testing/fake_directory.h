// FakeDirectory: a directory inside the test process, registered as
// "MainRegister" on 127.0.0.1:29831 (so the test runs in a private network
// and holds one at a time). It keeps a table of the satellites that
// registered, records every request and lets a test replace any answer.
// TestEngine: a satellite engine with std::function handlers. Both are safe
// to use from any thread.
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

struct DirectoryRequest {
  std::u16string caller;
  std::u16string name;
  kiv::Variant argument;
  std::string peer;  // dotted address of the requesting connection
};

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
  // Returns the result; a negative one goes back alone, as a refusal.
  using Handler = std::function<std::int32_t(const DirectoryRequest& request, VARIANT* value,
                                             std::int32_t* returnCode)>;

  explicit FakeDirectory(std::string directoryId = "fake-directory");
  ~FakeDirectory();
  FakeDirectory(const FakeDirectory&) = delete;
  FakeDirectory& operator=(const FakeDirectory&) = delete;

  // Whether it listens and accepted its own registration.
  bool ok() const { return ok_; }
  const std::string& id() const { return id_; }

  // Replaces the answer to one request; an empty handler restores the
  // built-in one: "Register" answers [directory id, satellite id] and keeps
  // an id the record brings; "UnRegister" and "RemoveSatellite" change the
  // table; "GetServiceReg" lists offers (caseless; "ALL" or one satellite);
  // "GetSatelliteHost" answers [[host, port]]. Unknown names or satellites
  // get a non-zero code.
  void SetHandler(const std::u16string& request, Handler handler);

  std::vector<DirectoryRequest> Requests() const;
  std::vector<DirectoryRequest> RequestsNamed(const std::u16string& name) const;
  bool WaitForRequests(const std::u16string& name, std::size_t count, int timeoutMs) const;
  void ClearRequests();

  std::optional<DirectoryEntry> FindSatellite(const std::u16string& name) const;
  // Adds or replaces (by name) an entry; one without an id gets the next.
  std::int32_t PutSatellite(DirectoryEntry entry);

 private:
  static std::int32_t OnRequest(KIV* engine, void* context, int socket, BSTR caller, BSTR service,
                                VARIANT argument, VARIANT* value, std::int32_t* returnCode);
  std::int32_t Answer(const DirectoryRequest& request, VARIANT* value);

  const std::string id_;
  KIV* engine_ = nullptr;
  bool ok_ = false;
  mutable PMutex lock_;  // guards everything below
  std::vector<DirectoryRequest> requests_;
  std::vector<DirectoryEntry> satellites_;  // registration order
  std::map<std::u16string, Handler> handlers_;
  std::int32_t nextId_ = 1;
};

class TestEngine {
 public:
  using RequestHandler = std::function<std::int32_t(
      const std::u16string& caller, const std::u16string& service, const VARIANT& argument,
      VARIANT* value, std::int32_t* returnCode)>;

  // Without a handler, requests are echoed with result 0 and code 0.
  explicit TestEngine(RequestHandler handler = {});
  ~TestEngine();
  TestEngine(const TestEngine&) = delete;
  TestEngine& operator=(const TestEngine&) = delete;

  KIV* get() const { return engine_; }
  void SetHandler(RequestHandler handler);
  // KivRegister with services [name, ""]; the return code (-1 if not VT_I4).
  std::int32_t Register(const std::u16string& name,
                        const std::vector<std::u16string>& services = {},
                        const char* directoryHost = "127.0.0.1", std::int32_t port = 0);
  std::int32_t Remove();
  // Every onStatus call so far: (satellite id, status).
  std::vector<std::pair<std::int32_t, std::int32_t>> Statuses() const;

 private:
  static std::int32_t OnRequest(KIV* engine, void* context, int socket, BSTR caller, BSTR service,
                                VARIANT argument, VARIANT* value, std::int32_t* returnCode);
  static std::int32_t OnStatus(KIV* engine, void* context, std::int32_t satelliteId,
                               std::int32_t status);

  KIV* engine_ = nullptr;
  bool removed_ = false;
  mutable PMutex lock_;  // guards the two below
  RequestHandler handler_;
  std::vector<std::pair<std::int32_t, std::int32_t>> statuses_;
};

// The services value KivRegister takes: [name, description] per service.
kiv::Variant MakeServices(const std::vector<std::pair<std::u16string, std::u16string>>& services);

}  // namespace kiv::testing

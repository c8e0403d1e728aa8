// CKivSink: the engine behind one automation object. It owns one engine for
// its whole life, keeps the directory host and satellite name of the last
// registration, counts the calls that use the engine so that termination can
// wait for them, and turns the engine's callbacks into events fired by its
// owner. Every member may be called from any thread at once; once terminated
// (or while being destroyed) every guarded operation and callback answers
// KIVIN_RC_TERMINATED.
#pragma once

#include <atomic>
#include <cstdint>

#include "kiv/engine.h"
#include "kiv/oleaut.h"
#include "kiv/status.h"
#include "support/threads/cond.h"
#include "support/threads/mutex.h"

namespace kiv::com {

// What the sink fires events through: the owning object's connection point.
// Both are called on engine threads; they never throw.
class KivInEventTarget {
 public:
  // ServiceRequested (or, withSocketId, ServiceRequested2 with sd first) to
  // every connected client sink; answers the last sink's result value, or
  // KIVIN_RC_HANDLER_CRASHED when a handler faulted.
  virtual std::int32_t FireServiceRequested(bool withSocketId, std::int32_t sd, BSTR source,
                                            BSTR serviceName, const VARIANT& inParams,
                                            VARIANT* outParams, std::int32_t* retCode) = 0;
  virtual void FireOnlineStatusUpdate(std::int32_t satId, std::int32_t status) = 0;

 protected:
  ~KivInEventTarget() = default;
};

// The stored names. Each setter stores a copy (null stays null) and frees the
// old string; each getter returns a fresh copy the caller frees.
class AbstractCSinkKiv {
 public:
  AbstractCSinkKiv() = default;
  virtual ~AbstractCSinkKiv();
  AbstractCSinkKiv(const AbstractCSinkKiv&) = delete;
  AbstractCSinkKiv& operator=(const AbstractCSinkKiv&) = delete;

  virtual void SetHostName(BSTR hostName);
  virtual void SetSatName(BSTR satName);
  virtual BSTR GetHostName();
  virtual BSTR GetSatName();
  virtual std::int32_t RegisterMode(std::int32_t mode, std::int32_t port, VARIANT* services,
                                    VARIANT* retCode) = 0;
  virtual std::int32_t Request(BSTR destination, BSTR serviceName, VARIANT inParams,
                               VARIANT* outParams, KIVFLAGS flags, VARIANT* retCode) = 0;
  virtual std::int32_t Ping(BSTR satName, std::int32_t satId, KIVSTATUS* status) = 0;

 private:
  static void Replace(BSTR& field, BSTR value);

  BSTR satName_ = nullptr;
  BSTR hostName_ = nullptr;
  // Concurrent Register calls may interleave, but must not free a name that
  // another thread is copying.
  PMutex namesLock_;
};

class CKivSink final : public AbstractCSinkKiv {
 public:
  // Creates the engine; when that fails the sink lives on without one and
  // its operations answer the engine's codes for an absent engine.
  explicit CKivSink(KivInEventTarget* ownerObject);
  // Shuts the engine down, waits for every running call and callback, and
  // destroys it.
  ~CKivSink() override;

  // mode 0: KivRegister with the stored names; 2: the same, and incoming
  // calls fire ServiceRequested2 from now on; 1: KivUnRegister; else 87.
  std::int32_t RegisterMode(std::int32_t mode, std::int32_t port, VARIANT* services,
                            VARIANT* retCode) override;
  std::int32_t Request(BSTR destination, BSTR serviceName, VARIANT inParams, VARIANT* outParams,
                       KIVFLAGS flags, VARIANT* retCode) override;
  std::int32_t Ping(BSTR satName, std::int32_t satId, KIVSTATUS* status) override;
  // Final: no engine, no event and no guarded call afterwards. Returns 0.
  virtual std::int32_t Terminate();
  // Not guarded: KIV_E_NO_ENGINE once terminated.
  virtual std::int32_t GetSatelliteId(std::int32_t* satId);
  virtual std::int32_t AddUser(BSTR user);
  virtual std::int32_t RemoveUser(BSTR user);
  std::int32_t DirectoryPing(BSTR satName, BSTR hostName, std::int32_t port, std::int32_t satId,
                             KIVSTATUS* status);

  bool withSocketId() const { return withSocketId_.load(); }

 private:
  bool Enter();
  void Leave();
  // Refuses new entries, then waits until every entered call has left.
  void Close();
  // Removes the satellite, waits for the calls in flight, frees the engine.
  void ShutDown();

  static std::int32_t OnRequest(KIV* engine, void* context, int socket, BSTR caller, BSTR service,
                                VARIANT argument, VARIANT* value, std::int32_t* returnCode);
  static std::int32_t OnStatus(KIV* engine, void* context, std::int32_t satelliteId,
                               std::int32_t status);

  KivInEventTarget* const ownerObject_;
  std::atomic<KIV*> engine_{nullptr};
  PCondMutex busyLock_;  // guards busy_ and the test of closing_
  std::int32_t busy_ = 0;
  std::atomic<bool> withSocketId_{false};
  std::atomic<bool> closing_{false};
};

}  // namespace kiv::com

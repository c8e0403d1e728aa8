// Worker threads of the server and the handling of one incoming message.
#include "engine/worker.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

#include "engine/connection_cache.h"
#include "engine/engine_object.h"
#include "engine/engine_state.h"
#include "engine/event_thread.h"
#include "engine/wire/wire_codec.h"
#include "kiv/kiv_exception.h"
#include "kiv/result_codes.h"
#include "kiv/status.h"
#include "kiv/utf8.h"
#include "support/log/log.h"
#include "support/metrics/metrics.h"

namespace {

constexpr std::int16_t kServiceRequestKind = 0;
constexpr std::int16_t kPingKind = 1;

std::atomic<int> failingStarts{0};

// Answered by every engine before its owner sees the request, so that any
// satellite (the directory too) reports its counters without registering a
// service: the value is the counters' JSON text.
constexpr char16_t kStatisticsRequest[] = u"GetKivStatistics";

constexpr char kServedName[] = "kiv_requests_served_total";
constexpr char kServedHelp[] =
    "Service requests this process answered, by result: ok (return code 0), negative (another "
    "return code), refused (unreadable, or refused by the satellite), failed (reply not sent)";
kiv::metrics::Counter servedOk{kServedName, kServedHelp, {"result", "ok"}};
kiv::metrics::Counter servedNegative{kServedName, kServedHelp, {"result", "negative"}};
kiv::metrics::Counter servedRefused{kServedName, kServedHelp, {"result", "refused"}};
kiv::metrics::Counter servedFailed{kServedName, kServedHelp, {"result", "failed"}};
kiv::metrics::Gauge workersBusy{"kiv_workers_busy", "Worker threads serving a message now"};

// Writes a one-field refusal; a failure shows when the connection is next used.
void Refuse(kiv::SocketStream& out, std::int32_t code) {
  kiv::WriteU32(out, static_cast<std::uint32_t>(code));
  out.Flush();
}

// After a reply, the next marker of a client that calls again at once is
// awaited here this long, sparing it two hand-offs through the event thread.
constexpr int kLingerMs = 2;

// Whether the client called again within the linger time (or closed,
// which the next read tells).
bool NextMessageArrives(KIV* engine, int socket) {
  pollfd watched{socket, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&watched, 1, kLingerMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && !engine->stopEvent.IsSet();
}

// The text of an exception that escaped a handler, for the error stream.
void ReportException(const char* text) {
  std::fprintf(stderr, "Exception in while processing event: %s\n", text);
}

}  // namespace

namespace kiv::engine {

void FailWorkerStartsForTesting(int count) {
  failingStarts = count;
}

}  // namespace kiv::engine

bool KivStartWorker(const std::shared_ptr<KivConnection>& connection, KIV* engine) {
  if (failingStarts.load() > 0 && failingStarts.fetch_sub(1) > 0) return false;
  return engine->pool.Serve(connection);
}

void KivServeConnection(KIV* engine, std::shared_ptr<KivConnection> connection) {
  workersBusy.Add();
  std::int32_t state = kiv::engine::kBusy;
  for (bool afterMarker = false; state == kiv::engine::kBusy; afterMarker = true) {
    const bool handled = KivHandleMessage(engine, connection.get(), afterMarker);
    connection->stream.Flush();
    if (!handled) {
      state = kiv::engine::kFailed;
    } else if (!NextMessageArrives(engine, connection->stream.socket())) {
      state = kiv::engine::kIdle;
    }
  }
  workersBusy.Subtract();
  connection->state = state;
  // Wakes the event thread, which then watches the idle connection again
  // (or drops the other) without waiting for its time-out.
  const std::uint64_t wake = 1;
  [[maybe_unused]] const ssize_t written = ::write(engine->wakeFd, &wake, sizeof wake);
  // The last share of a connection the event thread gave up closes it.
}

bool KivHandleMessage(KIV* engine, KivConnection* connection, bool afterMarker) {
  kiv::SocketStream& out = connection->stream;
  try {
    kiv::SocketSource in(out.socket());
    // Read with the message, in one peek; anything but the marker (or the
    // end of the stream) drops the connection unanswered, as on an idle one.
    std::uint8_t marker = 0;
    if (afterMarker && (!kiv::ReadU8(in, marker) || marker != kiv::engine::kReuseMarker ||
                        !KivSendReuseAnswer(out.socket(), in.ReadAhead() > 0))) {
      return false;
    }
    // A message must arrive within the time-out plus a second per MiB, so
    // that a peer trickling bytes cannot hold this worker for ever.
    in.SetDeadline(
        std::chrono::steady_clock::now() + std::chrono::milliseconds(engine->messageTimeoutMs),
        kiv::engine::kMessageBytesPerExtraSecond);
    in.SetLimit(engine->maxMessageBytes);
    in.SetBudget(engine->decodeBudget);
    // Runs when this scope ends, after the handlers below freed the value.
    const std::unique_ptr<kiv::SocketSource, void (*)(kiv::SocketSource*)> trim(
        &in, [](kiv::SocketSource* read) { kiv::engine::TrimAfterLargeMessage(*read); });
    std::uint16_t kind = 0;
    if (!kiv::ReadU16(in, kind)) {
      kiv::engine::ReportUnreadMessage(in, "request", engine->messageTimeoutMs);
      Refuse(out, kiv::KIV_E_TRANSPORT);
      return false;
    }
    switch (static_cast<std::int16_t>(kind)) {
      case kServiceRequestKind:
        return KivHandleRequest(engine, connection, in);
      case kPingKind:
        return KivHandlePing(engine, connection, in);
      default:
        Refuse(out, kiv::KIV_E_UNKNOWN_KIND);
        return false;
    }
  } catch (const KivException& error) {
    ReportException(kiv::ToUtf8(error.getMessage()).c_str());
  } catch (const std::logic_error& error) {
    ReportException(error.what());
  } catch (const std::string& text) {
    ReportException(text.c_str());
  } catch (const char* text) {
    ReportException(text != nullptr ? text : "");
  } catch (const std::exception& error) {
    // No failure of a handler may end the process.
    ReportException(error.what());
  } catch (...) {
    ReportException("unknown exception");
  }
  return false;
}

namespace {

// Whether a handler answered with the argument itself (the VARIANT copied,
// not its contents): the value then owns the argument's storage.
bool HandedOver(const VARIANT& value, const VARIANT& argument) {
  if (value.vt != argument.vt) return false;
  if ((value.vt & VT_ARRAY) != 0) return value.parray != nullptr && value.parray == argument.parray;
  return value.vt == VT_BSTR && value.bstrVal != nullptr && value.bstrVal == argument.bstrVal;
}

// Frees a handed-over argument once, as part of the value, however the
// handler returns.
class HandOverCheck {
 public:
  HandOverCheck(kiv::Variant& argument, kiv::Variant& value) : argument_(argument), value_(value) {}
  HandOverCheck(const HandOverCheck&) = delete;
  HandOverCheck& operator=(const HandOverCheck&) = delete;
  ~HandOverCheck() {
    if (HandedOver(*value_, *argument_)) argument_.Detach();
  }

 private:
  kiv::Variant& argument_;
  kiv::Variant& value_;
};

}  // namespace

bool KivHandleRequest(KIV* engine, KivConnection* connection, kiv::SocketSource& in) {
  kiv::SocketStream& out = connection->stream;
  BSTR callerText = nullptr;
  BSTR serviceText = nullptr;
  kiv::Variant argument;
  const bool read = kiv::ReadBstr(in, &callerText) && kiv::ReadBstr(in, &serviceText) &&
                    kiv::ReadVariant(in, argument.get());
  kiv::Bstr caller = kiv::Bstr::Attach(callerText);
  kiv::Bstr service = kiv::Bstr::Attach(serviceText);
  // Consumed before the connection can turn idle, or the event thread would
  // take the message's first byte for a marker.
  if (!read || !in.Commit()) {
    kiv::engine::ReportUnreadMessage(in, "request", engine->messageTimeoutMs);
    Refuse(out, kiv::KIV_E_TRANSPORT);
    servedRefused.Add();
    return false;
  }
  // Every request counts as a sign of life of the directory.
  kiv::engine::NoteDirectoryContact(engine);

  std::int32_t result = 0;
  std::int32_t returnCode = 0;
  kiv::Variant value;
  const HandOverCheck handOver(argument, value);
  if (service.get() != nullptr && std::u16string_view(service.get()) == kStatisticsRequest) {
    value = kiv::Variant::String(kiv::FromUtf8(kiv::metrics::SnapshotJsonText()));
  } else if (engine->onRequest != nullptr) {
    result = engine->onRequest(engine, engine->context, out.socket(), caller.get(), service.get(),
                               *argument, value.get(), &returnCode);
  }
  bool ok = kiv::WriteU32(out, static_cast<std::uint32_t>(result));
  if (ok && result >= 0) {
    ok = kiv::WriteU32(out, static_cast<std::uint32_t>(returnCode)) &&
         kiv::WriteVariant(out, *value);
  }
  ok = out.Flush() >= 0 && ok;
  kiv::metrics::Counter& outcome = !ok               ? servedFailed
                                   : result < 0      ? servedRefused
                                   : returnCode == 0 ? servedOk
                                                     : servedNegative;
  outcome.Add();
  return ok;
}

bool KivHandlePing(KIV* engine, KivConnection* connection, kiv::SocketSource& in) {
  kiv::SocketStream& out = connection->stream;
  std::uint32_t received = 0;
  if (!kiv::ReadU32(in, received) || !in.Commit()) {
    Refuse(out, kiv::KIV_E_TRANSPORT);
    return false;
  }
  const auto satelliteId = static_cast<std::int32_t>(received);
  bool ok = kiv::WriteU32(out, 0);
  const std::int32_t mine = engine->satelliteId.load();
  const std::int32_t status = satelliteId == mine ? KIV_ALIVE : KIV_DEAD;
  if (status == KIV_DEAD) {
    LogWarn(u"KIV: ping request with satId mismatch. Received %d, mine %d.", satelliteId, mine);
  }
  if (!kiv::WriteU32(out, static_cast<std::uint32_t>(status))) {
    LogWarn(u"KIV: ping request failed to marshal status %d", status);
    ok = false;
  }
  if (status == KIV_ALIVE) kiv::engine::NoteDirectoryContact(engine);
  return out.Flush() >= 0 && ok;
}

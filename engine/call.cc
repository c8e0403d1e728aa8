// KivCall and CallWithin: the client half of a service-request exchange
// over a cached connection. Any number of threads may call at once; each
// exchange holds a connection of its own.
#include "engine/call.h"

#include <strings.h>
#include <unistd.h>

#include <string>

#include "engine/connection_cache.h"
#include "engine/engine_object.h"
#include "engine/engine_state.h"
#include "engine/wire/socket_stream.h"
#include "engine/wire/wire_codec.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "support/metrics/metrics.h"
#include "support/time/time_limits.h"

namespace {

constexpr std::uint16_t kServiceRequestKind = 0;
// How long a reused connection may take to answer the marker before it
// counts as stale.
constexpr std::int32_t kReuseAnswerMs = 1000;

struct Reply {
  std::int32_t result = 0;
  std::uint32_t returnCode = 0;
  kiv::Variant value;
};

enum class ReplyRead { kRead, kStale, kFailed, kTimedOut };

constexpr char kMadeName[] = "kiv_requests_made_total";
constexpr char kMadeHelp[] =
    "Service requests this process sent, by result: ok (return code 0), negative (another return "
    "code), refused (by the server), failed (no reply: not connected, not sent, timed out)";
kiv::metrics::Counter madeOk{kMadeName, kMadeHelp, {"result", "ok"}};
kiv::metrics::Counter madeNegative{kMadeName, kMadeHelp, {"result", "negative"}};
kiv::metrics::Counter madeRefused{kMadeName, kMadeHelp, {"result", "refused"}};
kiv::metrics::Counter madeFailed{kMadeName, kMadeHelp, {"result", "failed"}};

// On a reused connection, first the answer to the marker: a connection
// whose server went away shows here, before it took the request, and is
// worth a fresh one (kStale). It comes in the same receive as the reply.
// Then the result and, for a result >= 0, the return code and the value.
// A reply larger than the engine's limit is refused and logged here, on the
// side that refuses. With answerWithinMs, the whole reply must arrive
// within that time (plus a second per MiB).
ReplyRead ReadReply(const KIV* engine, const char* host, std::uint16_t port, int socket,
                    bool reused, std::int32_t answerWithinMs, Reply& reply) {
  kiv::SocketSource in(socket, kiv::SocketSource::Taking::kAsRead);
  in.AwaitBeforeNextReceive();  // the request has only just left
  if (reused) {
    std::uint8_t answer = 0;
    in.SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(kReuseAnswerMs), 0);
    if (!kiv::ReadU8(in, answer) || answer != kiv::engine::kReuseAnswer) return ReplyRead::kStale;
  }
  in.SetLimit(engine->maxMessageBytes);
  in.SetBudget(engine->decodeBudget);
  in.ClearDeadline();
  if (answerWithinMs > 0) {
    in.SetDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(answerWithinMs),
                   kiv::engine::kMessageBytesPerExtraSecond);
  }
  std::uint32_t result = 0;
  bool ok = kiv::ReadU32(in, result);
  reply.result = static_cast<std::int32_t>(result);
  if (ok && reply.result >= 0) {
    ok = kiv::ReadU32(in, reply.returnCode) && kiv::ReadVariant(in, reply.value.get());
  }
  if (!ok) {
    kiv::engine::ReportUnreadMessage(
        in, "reply from " + std::string(host) + ":" + std::to_string(port),
        answerWithinMs > 0 ? answerWithinMs : engine->messageTimeoutMs);
  }
  if (ok && in.Commit()) return ReplyRead::kRead;
  return in.missedDeadline() ? ReplyRead::kTimedOut : ReplyRead::kFailed;
}

}  // namespace

std::int32_t KivCall(KIV* engine, const char* host, std::uint16_t port, const char* requestName,
                     VARIANT* argument, VARIANT* value, std::int32_t* returnCode) {
  return kiv::engine::CallWithin(engine, host, port, requestName, argument, value, returnCode, 0);
}

namespace kiv::engine {

std::int32_t CallWithin(KIV* engine, const char* host, std::uint16_t port, const char* requestName,
                        VARIANT* argument, VARIANT* value, std::int32_t* returnCode,
                        std::int32_t answerWithinMs) {
  if (engine == nullptr) {
    if (returnCode != nullptr) *returnCode = kiv::KIV_RC_NOT_FOUND;
    return kiv::KIV_OK;
  }
  const char* name = requestName != nullptr ? requestName : "";
  const std::int32_t timeoutMs =
      ::strcasecmp(name, "RemoveSatellite") == 0  // runs while a satellite shuts down
          ? kiv::LimitMs(kiv::TimeLimit::kRemovalConnect)
          : kiv::LimitMs(kiv::TimeLimit::kConnect);
  kiv::Bstr ownName;
  kiv::Bstr request;
  try {
    ownName = kiv::engine::SatelliteNameOf(engine);
    request = kiv::Bstr(kiv::FromUtf8(name));
  } catch (const std::bad_alloc&) {
    return kiv::KIV_E_TRANSPORT;
  }
  VARIANT empty;
  VariantInit(&empty);
  const VARIANT& sent = argument != nullptr ? *argument : empty;

  // Each turn takes another connection; a stale idle one has left the cache
  // when it is dropped, so the turns end with a fresh connect at the latest.
  for (;;) {
    bool reused = false;
    int socket = kiv::INVALID_SOCKET;
    const std::int32_t code = KivGetConnection(host, port, engine, &socket, &reused, timeoutMs);
    if (code != 0) {
      madeFailed.Add();
      return kiv::AsExchangeFailure(code);
    }

    kiv::SocketStream stream(socket, kiv::SocketStream::kDefaultCapacity);
    const bool written = (!reused || kiv::WriteU8(stream, kiv::engine::kReuseMarker)) &&
                         kiv::WriteU16(stream, kServiceRequestKind) &&
                         kiv::WriteBstr(stream, ownName.get()) &&
                         kiv::WriteBstr(stream, request.get()) && kiv::WriteVariant(stream, sent) &&
                         stream.Flush() >= 0;
    if (!written) {
      KivForgetConnection(engine, socket);
      stream.Close();
      madeFailed.Add();
      return kiv::KIV_E_TRANSPORT;
    }
    Reply reply;
    const ReplyRead read = ReadReply(engine, host, port, socket, reused, answerWithinMs, reply);
    if (read != ReplyRead::kRead) {
      KivForgetConnection(engine, socket);
      stream.Close();
      if (read == ReplyRead::kStale) continue;
      madeFailed.Add();
      return read == ReplyRead::kTimedOut ? kiv::KIV_E_TIMED_OUT : kiv::KIV_E_TRANSPORT;
    }
    (reply.result < 0 ? madeRefused : reply.returnCode == 0 ? madeOk : madeNegative).Add();
    if (reply.result >= 0) {
      if (returnCode != nullptr) *returnCode = static_cast<std::int32_t>(reply.returnCode);
      if (value != nullptr) {
        VariantClear(value);
        *value = reply.value.Detach();
      }
    }
    stream.Detach();
    KivReleaseConnection(host, port, engine, socket);
    return reply.result;
  }
}

}  // namespace kiv::engine

// Pings: KivPing at a known host and port, KivPingSatellite by name through
// the directory's "GetSatelliteHost", and KivDirectoryPingSatellite, the
// directory program's keep-alive of its satellites.
#include "engine/ping.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "engine/call.h"
#include "engine/engine_object.h"
#include "engine/engine_state.h"
#include "engine/wire/socket_stream.h"
#include "engine/wire/wire_codec.h"
#include "kiv/engine.h"
#include "kiv/kiv_exception.h"
#include "kiv/result_codes.h"
#include "kiv/status.h"
#include "kiv/utf8.h"
#include "kiv/value.h"
#include "kiv/vutil.h"
#include "support/log/log.h"
#include "support/net/net.h"
#include "support/time/time_limits.h"

namespace kiv::engine {
namespace {

constexpr std::uint16_t kPingKind = 1;

}  // namespace

bool ExchangePing(kiv::SocketStream& stream, std::int32_t satelliteId, std::int32_t& result,
                  std::optional<std::uint32_t>& status) {
  if (!kiv::WriteU16(stream, kPingKind) ||
      !kiv::WriteU32(stream, static_cast<std::uint32_t>(satelliteId)) || stream.Flush() < 0) {
    return false;
  }
  // One source for the whole reply, committed before the caller may close
  // the socket.
  kiv::SocketSource source(stream.socket());
  std::uint32_t rawResult = 0;
  if (!kiv::ReadU32(source, rawResult)) return false;
  result = static_cast<std::int32_t>(rawResult);
  if (result >= 0) {
    std::uint32_t rawStatus = 0;
    if (!kiv::ReadU32(source, rawStatus)) return false;
    status = rawStatus;
  }
  return source.Commit();
}

}  // namespace kiv::engine

std::int32_t KivPing(KIV* engine, const char* host, std::uint16_t port, std::int32_t satelliteId,
                     std::int32_t* status) {
  if (engine == nullptr) return kiv::KIV_E_NO_ENGINE;
  if (host == nullptr) host = "";
  const std::int32_t timeoutMs = std::strcmp(host, "127.0.0.1") == 0
                                     ? kiv::LimitMs(kiv::TimeLimit::kLoopbackConnect)
                                     : kiv::LimitMs(kiv::TimeLimit::kConnect);

  // An idle connection is probed with the reuse marker before the ping uses it.
  bool reused = true;
  int socket = kiv::INVALID_SOCKET;
  const std::int32_t code = KivGetConnection(host, port, engine, &socket, &reused, timeoutMs);
  if (code != 0) return code;

  const std::int32_t savedSend = kiv::GetSendTimeout(socket);
  const std::int32_t savedRecv = kiv::GetRecvTimeout(socket);
  // A ping may wait this long for each direction, whatever the connection's
  // own time-outs are; those come back afterwards.
  if (kiv::SetSendTimeout(socket, kiv::LimitMs(kiv::TimeLimit::kPingSocket)) != 0) {
    LogError(u"%d: Failed to set sendTimeout: %d", socket, errno);
  }
  if (kiv::SetRecvTimeout(socket, kiv::LimitMs(kiv::TimeLimit::kPingSocket)) != 0) {
    LogError(u"%d: Failed to set recvTimeout: %d", socket, errno);
  }

  kiv::SocketStream stream(socket, kiv::SocketStream::kDefaultCapacity);
  std::int32_t result = 0;
  std::optional<std::uint32_t> answered;
  if (!kiv::engine::ExchangePing(stream, satelliteId, result, answered)) {
    KivForgetConnection(engine, socket);
    stream.Close();
    return kiv::KIV_E_TRANSPORT;
  }
  if (answered) {
    const auto answeredStatus = static_cast<std::int32_t>(*answered);
    if (status != nullptr) *status = answeredStatus;
    if (answeredStatus != KIV_ALIVE) {
      LogInfo(u"KIV: Ping succeeded but received dead ping status from satId %d (status %d)",
              satelliteId, answeredStatus);
    }
  }

  stream.Detach();
  if (kiv::SetSendTimeout(socket, savedSend) != 0) {
    LogError(u"%d: Failed to reset sendTimeout: %d", socket, errno);
  }
  if (kiv::SetRecvTimeout(socket, savedRecv) != 0) {
    LogError(u"%d: Failed to reset recvTimeout: %d", socket, errno);
  }
  KivReleaseConnection(host, port, engine, socket);
  return result;
}

namespace {

// The [[host, port]] answer of "GetSatelliteHost"; nullopt for any other shape.
struct SatelliteAddress {
  std::string host;
  std::uint16_t port;
};

std::optional<SatelliteAddress> ReadSatelliteAddress(const VARIANT& answer) {
  try {
    VUtil::checkArrayType(answer, VT_VARIANT, 1, nullptr);
    kiv::Variant pair;
    VUtil::GetElement(answer, 0, pair.get());
    VUtil::checkArrayType(*pair, VT_VARIANT, 2, nullptr);
    kiv::Variant host;
    kiv::Variant port;
    VUtil::GetElement(*pair, 0, host.get());
    VUtil::GetElement(*pair, 1, port.get());
    VUtil::checkType(*host, VT_BSTR, nullptr);
    VUtil::checkType(*port, VT_I4, nullptr);
    return SatelliteAddress{
        kiv::ToUtf8(std::u16string_view(host->bstrVal != nullptr ? host->bstrVal : u"",
                                        SysStringLen(host->bstrVal))),
        static_cast<std::uint16_t>(port->lVal)};
  } catch (const std::exception&) {
    return std::nullopt;  // the wrong shape (KivException), or out of memory
  }
}

}  // namespace

std::int32_t KivPingSatellite(KIV* engine, BSTR satelliteName, std::int32_t satelliteId,
                              std::int32_t* status) {
  if (engine == nullptr) return kiv::KIV_E_NO_ENGINE;
  std::int32_t ignored = KIV_UNKNOWN;
  if (status == nullptr) status = &ignored;
  *status = KIV_UNKNOWN;

  kiv::Variant argument;
  kiv::engine::DirectoryLink directory;
  try {
    argument = kiv::Variant::String(std::u16string_view(
        satelliteName != nullptr ? satelliteName : u"", SysStringLen(satelliteName)));
    directory = kiv::engine::DirectoryLinkOf(engine);
  } catch (const std::bad_alloc&) {
    return 0;  // nothing was asked: the status stays unknown
  }
  kiv::Variant answer;
  std::int32_t returnCode = 0;
  const std::int32_t result = kiv::engine::CallWithin(
      engine, directory.address.c_str(), directory.port, "GetSatelliteHost", argument.get(),
      answer.get(), &returnCode, engine->directoryTimeoutMs);
  if (result < 0) return 0;
  if ((returnCode & kiv::KIV_RC_SATELLITE_UNAVAILABLE) != 0) {
    *status = KIV_DEAD;
    return 0;
  }
  const std::optional<SatelliteAddress> address = ReadSatelliteAddress(*answer);
  if (!address) return 0;
  if (KivPing(engine, address->host.c_str(), address->port, satelliteId, status) < 0) {
    *status = KIV_DEAD;
  }
  return 0;
}

std::int32_t KivDirectoryPingSatellite(KIV* engine, BSTR /*satelliteName*/, const char16_t* host,
                                       std::uint16_t port, std::int32_t satelliteId,
                                       std::int32_t* status) {
  if (engine == nullptr) return kiv::KIV_E_NO_ENGINE;
  if (host == nullptr) host = u"";
  std::int32_t result = kiv::KIV_E_OUT_OF_MEMORY;
  try {
    result = KivPing(engine, kiv::ToUtf8(host).c_str(), port, satelliteId, status);
  } catch (const std::bad_alloc&) {
    // Counts as a failed ping: the directory hears the satellite is dead.
  }
  if (result != 0) {
    LogDebug(u"Failed to ping satellite %s:%hu: %d (0x%x)", host, port, result, result);
    if (status != nullptr) *status = KIV_DEAD;
  }
  return 0;
}

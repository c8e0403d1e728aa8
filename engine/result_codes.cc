#include "kiv/result_codes.h"

#include <cstdio>

namespace kiv {

namespace {

const char* Meaning(std::int32_t code) {
  switch (code) {
    case KIV_OK:
      return "success";
    case KIV_RC_RECORD_NOT_BUILT:
      return "registration record could not be built";
    case KIV_RC_LISTEN_FAILED:
      return "listening socket could not be set up";
    case KIV_RC_NOT_FOUND:
      return "no engine, or no satellite offers the service";
    case KIV_RC_BAD_SERVICES_BOUNDS:
      return "bounds of the services array could not be read";
    case KIV_RC_OUT_OF_MEMORY:
      return "out of memory while preparing a request";
    case KIV_RC_RESOLVE_FAILED:
      return "host name could not be resolved";
    case KIV_RC_CONNECT_FAILED:
      return "connect failed or timed out";
    case KIV_RC_SOCKET_FAILED:
      return "socket could not be created or made non-blocking";
    case KIV_RC_TIMED_OUT:
      return "target did not answer within 30 seconds";
    case KIV_RC_HANDLER_RAISED:
      return "the handler raised an exception";
    case KIV_RC_VALUE_NOT_CONVERTIBLE:
      return "a value could not be converted for the handler or its answer";
    case KIV_RC_NO_THREAD:
      return "no worker thread could be started";
    case KIV_RC_NAME_IN_USE:
      return "the name is in use by a live satellite";
    case KIV_RC_NAME_HOLDS_NUL:
      return "a name holds a NUL character";
    case KIV_E_UNKNOWN_KIND:
      return "unknown message kind";
    case KIV_E_NO_ENGINE:
      return "no engine";
    case KIV_E_TRANSPORT:
      return "message not written, flushed or read completely";
    case KIV_E_RESOLVE_FAILED:
      return "host name could not be resolved";
    case KIV_E_CONNECT_FAILED:
      return "connect failed or timed out";
    case KIV_E_SOCKET_FAILED:
      return "socket could not be created or made non-blocking";
    case KIV_E_TIMED_OUT:
      return "the other side did not answer within the time limit";
    case KIV_E_TOO_MANY_CONNECTIONS:
      return "server holds its maximum of connections";
    case KIV_E_NO_WORKER:
      return "server could not start a worker";
    case KIV_E_PEER_NOT_ALLOWED:
      return "server does not serve the caller's address (not in its allowed peers)";
    case KIV_E_LOOKUP_ARGUMENT:
      return "lookup argument could not be built";
    case KIV_E_OUT_OF_MEMORY:
      return "out of memory";
    default:
      return nullptr;
  }
}

}  // namespace

std::string DescribeResult(std::int32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  const char* meaning = Meaning(code);
  return meaning ? std::string(hex) + " (" + meaning + ")" : std::string(hex);
}

}  // namespace kiv

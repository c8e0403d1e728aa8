#include "kiv/result_codes.h"

#include <cstdio>

namespace kiv {

namespace {

struct KnownCode {
  std::int32_t code;
  const char* name;
  const char* meaning;
};

// One row per code the engine defines; the name is the constant's own.
constexpr KnownCode kKnownCodes[] = {
    {KIV_OK, "KIV_OK", "success"},
    {KIV_RC_RECORD_NOT_BUILT, "KIV_RC_RECORD_NOT_BUILT", "registration record could not be built"},
    {KIV_RC_LISTEN_FAILED, "KIV_RC_LISTEN_FAILED", "listening socket could not be set up"},
    {KIV_RC_NOT_FOUND, "KIV_RC_NOT_FOUND", "no engine, or no satellite offers the service"},
    {KIV_RC_BAD_SERVICES_BOUNDS, "KIV_RC_BAD_SERVICES_BOUNDS",
     "bounds of the services array could not be read"},
    {KIV_RC_OUT_OF_MEMORY, "KIV_RC_OUT_OF_MEMORY", "out of memory while preparing a request"},
    {KIV_RC_RESOLVE_FAILED, "KIV_RC_RESOLVE_FAILED", "host name could not be resolved"},
    {KIV_RC_CONNECT_FAILED, "KIV_RC_CONNECT_FAILED", "connect failed or timed out"},
    {KIV_RC_SOCKET_FAILED, "KIV_RC_SOCKET_FAILED",
     "socket could not be created or made non-blocking"},
    {KIV_RC_TIMED_OUT, "KIV_RC_TIMED_OUT", "target did not answer within 30 seconds"},
    {KIV_RC_HANDLER_RAISED, "KIV_RC_HANDLER_RAISED", "the handler raised an exception"},
    {KIV_RC_VALUE_NOT_CONVERTIBLE, "KIV_RC_VALUE_NOT_CONVERTIBLE",
     "a value could not be converted for the handler or its answer"},
    {KIV_RC_NO_THREAD, "KIV_RC_NO_THREAD", "no worker thread could be started"},
    {KIV_RC_NAME_IN_USE, "KIV_RC_NAME_IN_USE", "the name is in use by a live satellite"},
    {KIV_RC_NAME_HOLDS_NUL, "KIV_RC_NAME_HOLDS_NUL", "a name holds a NUL character"},
    {KIV_E_UNKNOWN_KIND, "KIV_E_UNKNOWN_KIND", "unknown message kind"},
    {KIV_E_NO_ENGINE, "KIV_E_NO_ENGINE", "no engine"},
    {KIV_E_TRANSPORT, "KIV_E_TRANSPORT", "message not written, flushed or read completely"},
    {KIV_E_RESOLVE_FAILED, "KIV_E_RESOLVE_FAILED", "host name could not be resolved"},
    {KIV_E_CONNECT_FAILED, "KIV_E_CONNECT_FAILED", "connect failed or timed out"},
    {KIV_E_SOCKET_FAILED, "KIV_E_SOCKET_FAILED",
     "socket could not be created or made non-blocking"},
    {KIV_E_TIMED_OUT, "KIV_E_TIMED_OUT", "the other side did not answer within the time limit"},
    {KIV_E_TOO_MANY_CONNECTIONS, "KIV_E_TOO_MANY_CONNECTIONS",
     "server holds its maximum of connections"},
    {KIV_E_NO_WORKER, "KIV_E_NO_WORKER", "server could not start a worker"},
    {KIV_E_PEER_NOT_ALLOWED, "KIV_E_PEER_NOT_ALLOWED",
     "server does not serve the caller's address (not in its allowed peers)"},
    {KIV_E_LOOKUP_ARGUMENT, "KIV_E_LOOKUP_ARGUMENT", "lookup argument could not be built"},
    {KIV_E_OUT_OF_MEMORY, "KIV_E_OUT_OF_MEMORY", "out of memory"},
};

const KnownCode* Find(std::int32_t code) {
  for (const KnownCode& known : kKnownCodes) {
    if (known.code == code) return &known;
  }
  return nullptr;
}

}  // namespace

std::string DescribeResult(std::int32_t code) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  const char* meaning = ResultMeaning(code);
  return meaning ? std::string(hex) + " (" + meaning + ")" : std::string(hex);
}

const char* ResultName(std::int32_t code) {
  const KnownCode* known = Find(code);
  return known ? known->name : nullptr;
}

const char* ResultMeaning(std::int32_t code) {
  const KnownCode* known = Find(code);
  return known ? known->meaning : nullptr;
}

}  // namespace kiv

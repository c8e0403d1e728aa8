// Result codes of the messaging engine. 0 is success. Codes 0x0002xxxx are
// the engine's own return codes (positive, so compare them with 0, not with
// a negative-means-failure test); codes 0x8006xxxx are failures of an
// exchange and are also what a server sends as a refusal. Codes of remote
// handlers and of the directory pass through unchanged.
#pragma once

#include <cstdint>
#include <string>

#include "kiv/export.h"

namespace kiv {

constexpr std::int32_t KIV_OK = 0;

// Return codes (placed in return-code values and status arrays).
constexpr std::int32_t KIV_RC_RECORD_NOT_BUILT = 0x00020001;
constexpr std::int32_t KIV_RC_LISTEN_FAILED = 0x00020003;
constexpr std::int32_t KIV_RC_NOT_FOUND = 0x00020007;  // no engine, or no satellite offers it
constexpr std::int32_t KIV_RC_BAD_SERVICES_BOUNDS = 0x0002000A;
constexpr std::int32_t KIV_RC_OUT_OF_MEMORY = 0x00020014;
constexpr std::int32_t KIV_RC_RESOLVE_FAILED = 0x00020023;
constexpr std::int32_t KIV_RC_CONNECT_FAILED = 0x00020024;
constexpr std::int32_t KIV_RC_SOCKET_FAILED = 0x00020025;
constexpr std::int32_t KIV_RC_TIMED_OUT = 0x00020026;
// Answers of an automation object (Kiv.KivIn) whose event handler failed:
// it raised, or its argument or answer had no form on the other side.
constexpr std::int32_t KIV_RC_HANDLER_RAISED = 0x00020031;
constexpr std::int32_t KIV_RC_VALUE_NOT_CONVERTIBLE = 0x00020032;
constexpr std::int32_t KIV_RC_NO_THREAD = -1;
// The directory refused a registration: a live satellite of another id
// holds the name.
constexpr std::int32_t KIV_RC_NAME_IN_USE = 0x00020030;
// The directory refused a request: a name in it holds a NUL character.
constexpr std::int32_t KIV_RC_NAME_HOLDS_NUL = 0x00020038;
constexpr std::int32_t KIV_RC_SATELLITE_UNAVAILABLE = 0x00040000;  // a bit in "GetSatelliteHost"

// Failures of exchanges; the first four refusals also travel on the wire.
constexpr std::int32_t KIV_E_UNKNOWN_KIND = static_cast<std::int32_t>(0x80060001);
constexpr std::int32_t KIV_E_NO_ENGINE = static_cast<std::int32_t>(0x80060003);
constexpr std::int32_t KIV_E_TRANSPORT = static_cast<std::int32_t>(0x80060005);
constexpr std::int32_t KIV_E_RESOLVE_FAILED = static_cast<std::int32_t>(0x80060023);
constexpr std::int32_t KIV_E_CONNECT_FAILED = static_cast<std::int32_t>(0x80060024);
constexpr std::int32_t KIV_E_SOCKET_FAILED = static_cast<std::int32_t>(0x80060025);
// The other side took the request but did not answer within the time limit.
constexpr std::int32_t KIV_E_TIMED_OUT = static_cast<std::int32_t>(0x80060026);
constexpr std::int32_t KIV_E_TOO_MANY_CONNECTIONS = static_cast<std::int32_t>(0x80068001);
constexpr std::int32_t KIV_E_NO_WORKER = static_cast<std::int32_t>(0x80068002);
// The server serves only the peer networks in its AllowedPeers (or kivd's
// --allow), and the caller's address is in none; travels on the wire.
constexpr std::int32_t KIV_E_PEER_NOT_ALLOWED = static_cast<std::int32_t>(0x80068003);
constexpr std::int32_t KIV_E_LOOKUP_ARGUMENT = static_cast<std::int32_t>(0x8000FFFF);
constexpr std::int32_t KIV_E_OUT_OF_MEMORY = static_cast<std::int32_t>(0x8007000E);

// A connection code (0x0002xxxx) as an exchange reports it (0x8006xxxx).
constexpr std::int32_t AsExchangeFailure(std::int32_t connectionCode) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(connectionCode) | 0x80040000u);
}

// "0x80060005 (message not written, flushed or read completely)"; codes the
// engine does not define print as hexadecimal alone.
KIV_API std::string DescribeResult(std::int32_t code);

// The constant's name ("KIV_E_PEER_NOT_ALLOWED") and the meaning that
// DescribeResult shows; nullptr for a code the engine does not define.
KIV_API const char* ResultName(std::int32_t code);
KIV_API const char* ResultMeaning(std::int32_t code);

}  // namespace kiv

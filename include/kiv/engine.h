// The messaging engine: one KIV object per satellite. It registers the
// satellite with the directory ("MainRegister", TCP port 29831), serves
// incoming calls and pings on its own threads, and calls other satellites.
//
// Every operation is a free function taking the engine first; an absent
// (null) engine is answered with a code, never a crash. Operations return
// i32 codes (<kiv/result_codes.h>) and never throw, except KivSetService,
// which lets the variant utilities' KivInvalidParameterException through.
// One engine's registration, removal and requests are called by its owner
// from one thread at a time; KivCall, KivRequest and the pings may run on
// many threads at once.
#pragma once

#include <cstdint>

#include "kiv/export.h"
#include "kiv/oleaut.h"
#include "kiv/status.h"

struct KIV;

// Every incoming service request, on an engine worker thread (several may
// run at once). The argument is lent for the call. Fill *value and
// *returnCode; a negative result is sent back alone, as a refusal. To answer
// with the argument itself, hand it over rather than copy it:
// `*value = argument;` (the VARIANT, at the top level); the engine sees that
// the value owns the argument's string or array and frees it once.
using KivRequestCallback = std::int32_t (*)(KIV* engine, void* context, int socket, BSTR caller,
                                            BSTR service, VARIANT argument, VARIANT* value,
                                            std::int32_t* returnCode);
// Changes of the satellite's view of its directory (KIVSTATUS values).
using KivStatusCallback = std::int32_t (*)(KIV* engine, void* context, std::int32_t satelliteId,
                                           std::int32_t status);

// The port a directory listens on.
constexpr std::uint16_t KIV_DIRECTORY_PORT = 29831;

extern "C" {

// Creation and destruction. Call KivRemoveSatellite before KivDestroy.
KIV_API std::int32_t KivCreate(KIV** engine, KivRequestCallback onRequest,
                               KivStatusCallback onStatus, void* context);
KIV_API void KivDestroy(KIV* engine);

// Registration with the directory. Outcomes go into *returnCode (VT_I4; a
// one-element VT_I4 array for an absent engine); the functions return 0.
KIV_API std::int32_t KivRegister(KIV* engine, const char* directoryHost, std::int32_t port,
                                 BSTR satelliteName, VARIANT* services, VARIANT* returnCode);
KIV_API std::int32_t KivUnRegister(KIV* engine, VARIANT* services, VARIANT* returnCode);
// Stops listening, tells the directory, closes every connection. Never hangs.
KIV_API std::int32_t KivRemoveSatellite(KIV* engine);
KIV_API std::int32_t KivGetSatelliteId(KIV* engine, std::int32_t* satelliteId);

// The services array sent at registration: n elements of [name, description].
KIV_API std::int32_t KivCreateServices(VARIANT* services, std::int32_t n);
KIV_API std::int32_t KivSetService(VARIANT* services, std::int32_t index, BSTR name,
                                   BSTR description);

// Connections (the engine's idle cache holds at most 8).
KIV_API std::int32_t KivConnect(const char* host, std::uint16_t port, KIV* engine, int* socket,
                                std::int32_t timeoutMs);
KIV_API std::int32_t KivGetConnection(const char* host, std::uint16_t port, KIV* engine,
                                      int* socket, bool* reused, std::int32_t timeoutMs);
KIV_API void KivReleaseConnection(const char* host, std::uint16_t port, KIV* engine, int socket);
KIV_API void KivForgetConnection(KIV* engine, int socket);
// One service-request exchange. Returns the result (negative: a failure or
// the server's refusal); *value and *returnCode are written only for >= 0.
KIV_API std::int32_t KivCall(KIV* engine, const char* host, std::uint16_t port,
                             const char* requestName, VARIANT* argument, VARIANT* value,
                             std::int32_t* returnCode);

// Calls a service on the named satellite or on "ALL" that offer it.
// flags: KIV_ASYNCHRONOUS, and 2 to wait at most 30 seconds per target.
KIV_API std::int32_t KivRequest(KIV* engine, BSTR destination, BSTR service, VARIANT argument,
                                VARIANT* values, std::int32_t flags, VARIANT* statuses);
KIV_API std::int32_t KivGetServiceReg(KIV* engine, BSTR destination, BSTR service,
                                      std::int32_t flags, VARIANT* entries);

// Pings.
KIV_API std::int32_t KivPing(KIV* engine, const char* host, std::uint16_t port,
                             std::int32_t satelliteId, std::int32_t* status);
KIV_API std::int32_t KivPingSatellite(KIV* engine, BSTR satelliteName, std::int32_t satelliteId,
                                      std::int32_t* status);
KIV_API std::int32_t KivDirectoryPingSatellite(KIV* engine, BSTR satelliteName,
                                               const char16_t* host, std::uint16_t port,
                                               std::int32_t satelliteId, std::int32_t* status);

// Reports a directory's state, from the discovery client's thread.
KIV_API void KivOnDirectoryStatus(const char* directoryId, std::int32_t status);

}  // extern "C"

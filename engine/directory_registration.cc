// Registration with the directory: KivRegister, KivUnRegister,
// KivRemoveSatellite and KivGetSatelliteId.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <memory>
#include <new>
#include <string>

#include "engine/call.h"
#include "engine/connection_cache.h"
#include "engine/engine_object.h"
#include "engine/engine_state.h"
#include "engine/listener.h"
#include "engine/registration_record.h"
#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/status.h"
#include "kiv/utf8.h"
#include "support/net/net.h"
#include "support/time/wall_clock.h"

namespace {

// How an absent engine is reported: a one-element VT_I4 array.
void SetArrayCode(VARIANT* returnCode, std::int32_t code) {
  VariantClear(returnCode);
  SAFEARRAY* array = SafeArrayCreateVector(VT_I4, 0, 1);
  if (array == nullptr) return;
  {
    kiv::SafeArrayAccess access(array);
    if (access.ok()) *access.as<LONG>() = code;
  }
  returnCode->vt = VT_ARRAY | VT_I4;
  returnCode->parray = array;
}

void SetCode(VARIANT* returnCode, std::int32_t code) {
  VariantClear(returnCode);
  returnCode->vt = VT_I4;
  returnCode->lVal = code;
}

// A dotted IPv4 address is used as given; a name is resolved once, here;
// a name that does not resolve is kept as it is.
std::string DirectoryAddressFor(const std::string& host) {
  // The all-ones address is what inet_addr answers for "not an address".
  if (::inet_addr(host.c_str()) != INADDR_NONE) return host;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return host;
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  return kiv::DottedAddress(address->sin_addr.s_addr);
}

kiv::Bstr CopyName(BSTR name) {
  if (name == nullptr) return kiv::Bstr();
  return kiv::Bstr(std::u16string_view(name, SysStringLen(name)));
}

// Takes the satellite id (and the directory's identity) from a "Register"
// answer: VT_I4 id, or an array [VT_BSTR identity, VT_I4 id]. Any other
// shape changes neither.
void ApplyRegisterAnswer(KIV* engine, const VARIANT& answer) {
  if (answer.vt == VT_I4) {
    engine->satelliteId = answer.lVal;
    return;
  }
  if (answer.vt != (VT_ARRAY | VT_VARIANT) || answer.parray == nullptr ||
      SafeArrayGetDim(answer.parray) != 1) {
    return;
  }
  void* slot = nullptr;
  LONG index = 0;
  if (SafeArrayPtrOfIndex(answer.parray, &index, &slot) == S_OK) {
    const auto* identity = static_cast<const VARIANT*>(slot);
    if (identity->vt == VT_BSTR) {
      std::string text = kiv::ToUtf8(std::u16string_view(
          identity->bstrVal != nullptr ? identity->bstrVal : u"", SysStringLen(identity->bstrVal)));
      PScopedLock guard(&engine->identityLock);
      engine->directoryId = std::move(text);
    }
  }
  index = 1;
  if (SafeArrayPtrOfIndex(answer.parray, &index, &slot) == S_OK) {
    const auto* id = static_cast<const VARIANT*>(slot);
    if (id->vt == VT_I4) engine->satelliteId = id->lVal;
  }
}

void KeepComputerName(KIV* engine) {
  {
    PScopedLock guard(&engine->identityLock);
    if (!engine->computerName.empty()) return;
  }
  char address[kiv::kIdentityAddressCapacity] = "";
  char name[kiv::kIdentityNameCapacity] = "";
  kiv::GetLocalIdentity(address, name);
  std::u16string computerName = kiv::FromUtf8(name);
  PScopedLock guard(&engine->identityLock);
  if (engine->computerName.empty()) engine->computerName = std::move(computerName);
}

void Register(KIV* engine, const char* directoryHost, std::int32_t port, BSTR satelliteName,
              VARIANT* services, VARIANT* returnCode) {
  const bool isDirectory = kiv::engine::IsDirectoryName(satelliteName);
  std::uint16_t directoryPort = static_cast<std::uint16_t>(port);
  if (directoryPort == 0) directoryPort = KIV_DIRECTORY_PORT;
  SetCode(returnCode, 0);
  const std::string host = directoryHost != nullptr ? directoryHost : "0.0.0.0";
  const std::string address = DirectoryAddressFor(host);
  // Copies first: the caller may pass the engine's own name and services.
  kiv::Bstr name = CopyName(satelliteName);
  kiv::Variant servicesCopy;
  if (services != nullptr) servicesCopy = kiv::Variant::CopyOf(*services);
  // The directory, or the name requests go out under, may be another now.
  engine->lookups.Reset(!isDirectory);
  {
    PScopedLock guard(&engine->identityLock);
    engine->directoryPort = directoryPort;
    engine->directoryHost = host;
    engine->directoryAddress = address;
    engine->satelliteName = std::move(name);
  }

  const std::int32_t listening = KivStartListening(engine, isDirectory);
  if (listening != 0) {
    SetCode(returnCode, listening);
    return;
  }
  KeepComputerName(engine);
  {
    PScopedLock guard(&engine->identityLock);
    engine->services = servicesCopy;
  }

  kiv::Variant record;
  const std::int32_t built =
      kiv::engine::BuildRegistrationRecord(engine, servicesCopy.get(), record);
  if (built != 0) {
    SetCode(returnCode, built);
    return;
  }
  std::int32_t code = 0;
  kiv::Variant answer;
  const std::int32_t result =
      kiv::engine::CallWithin(engine, address.c_str(), directoryPort, "Register", record.get(),
                              answer.get(), &code, engine->directoryTimeoutMs);
  SetCode(returnCode, result < 0 ? result : code);
  // Again, for answers that requests stored while this one was under way.
  engine->lookups.Clear();
  if (result < 0 || code != 0) return;

  ApplyRegisterAnswer(engine, *answer);
  engine->registered = 1;
  engine->directoryStatus = KIV_ALIVE;
  kiv::engine::NoteDirectoryContact(engine);
  if (engine->onStatus != nullptr) {
    engine->onStatus(engine, engine->context, engine->satelliteId.load(), KIV_ALIVE);
  }
}

// The stored services are neither used nor changed.
void UnRegister(KIV* engine, VARIANT* services, VARIANT* returnCode) {
  kiv::Variant record;
  const std::int32_t built = kiv::engine::BuildRegistrationRecord(engine, services, record);
  if (built != 0) {
    SetCode(returnCode, built);
    return;
  }
  const kiv::engine::DirectoryLink directory = kiv::engine::DirectoryLinkOf(engine);
  std::int32_t rc = 0;
  kiv::Variant answer;
  const std::int32_t result =
      kiv::engine::CallWithin(engine, directory.address.c_str(), directory.port, "UnRegister",
                              record.get(), answer.get(), &rc, engine->directoryTimeoutMs);
  SetCode(returnCode, result >= 0 ? rc : result);
}

// The frame of KivRegister and KivUnRegister: `work` fills the caller's code
// (or a scratch one when none is given); an absent engine and a shortage of
// memory are reported in the code, and the call itself always succeeds.
template <typename Work>
std::int32_t WithReturnCode(KIV* engine, VARIANT* returnCode, Work work) {
  kiv::Variant scratch;
  VARIANT* code = returnCode != nullptr ? returnCode : scratch.get();
  if (engine == nullptr) {
    SetArrayCode(code, kiv::KIV_RC_NOT_FOUND);
    return kiv::KIV_OK;
  }
  try {
    work(code);
  } catch (const std::bad_alloc&) {
    SetCode(code, kiv::KIV_RC_RECORD_NOT_BUILT);
  }
  return kiv::KIV_OK;
}

}  // namespace

void kiv::engine::UseDirectory(KIV* engine, const std::string& host, std::uint16_t port,
                               BSTR callerName) {
  const std::string address = DirectoryAddressFor(host);
  kiv::Bstr name = CopyName(callerName);
  engine->lookups.Reset(!kiv::engine::IsDirectoryName(callerName));
  PScopedLock guard(&engine->identityLock);
  engine->directoryPort = port != 0 ? port : KIV_DIRECTORY_PORT;
  engine->directoryHost = host;
  engine->directoryAddress = address;
  engine->satelliteName = std::move(name);
}

std::int32_t KivRegister(KIV* engine, const char* directoryHost, std::int32_t port,
                         BSTR satelliteName, VARIANT* services, VARIANT* returnCode) {
  return WithReturnCode(engine, returnCode, [&](VARIANT* code) {
    Register(engine, directoryHost, port, satelliteName, services, code);
  });
}

std::int32_t KivUnRegister(KIV* engine, VARIANT* services, VARIANT* returnCode) {
  return WithReturnCode(engine, returnCode,
                        [&](VARIANT* code) { UnRegister(engine, services, code); });
}

std::int32_t KivRemoveSatellite(KIV* engine) {
  if (engine == nullptr) return kiv::KIV_OK;
  KivStopListening(engine);

  std::int32_t result = kiv::KIV_OK;
  PScopedLock guard(&engine->cacheLock);
  bool isDirectory = false;
  {
    PScopedLock identity(&engine->identityLock);
    isDirectory = kiv::engine::IsDirectoryName(engine->satelliteName.get());
  }
  // The directory never removes itself; its registered flag stays.
  if (engine->registered.load() == 1 && !isDirectory) {
    PScopedUnlock unlocked(&engine->cacheLock);
    try {
      kiv::Variant record;
      result = kiv::engine::BuildRegistrationRecord(engine, nullptr, record);
      if (result == 0) {
        const kiv::engine::DirectoryLink directory = kiv::engine::DirectoryLinkOf(engine);
        std::int32_t ignored = 0;
        kiv::Variant answer;
        result = kiv::engine::CallWithin(engine, directory.address.c_str(), directory.port,
                                         "RemoveSatellite", record.get(), answer.get(), &ignored,
                                         engine->directoryTimeoutMs);
      }
    } catch (const std::bad_alloc&) {
      result = kiv::KIV_RC_RECORD_NOT_BUILT;
    }
    engine->registered = 0;
  }
  kiv::engine::CloseAllConnections(engine);
  return result;
}

std::int32_t KivGetSatelliteId(KIV* engine, std::int32_t* satelliteId) {
  if (engine == nullptr) return kiv::KIV_E_NO_ENGINE;
  if (satelliteId != nullptr) *satelliteId = engine->satelliteId.load();
  return kiv::KIV_OK;
}

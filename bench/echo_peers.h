// Echo peers of the engine benchmarks: the engine-level Echo handler and
// registered engines owned by a handle that removes and destroys them.
// Start and drop engines from one thread; a started engine serves calls on
// its own threads. Failures leave an empty handle and a line on stderr.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>

#include "kiv/engine.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/value.h"

namespace kiv::bench {

// Answers every request with its own argument, handed over.
inline std::int32_t EchoHandler(KIV*, void*, int, BSTR, BSTR, VARIANT argument, VARIANT* value,
                                std::int32_t* returnCode) {
  *returnCode = 0;
  *value = argument;
  return 0;
}

struct EngineRemover {
  void operator()(KIV* engine) const {
    KivRemoveSatellite(engine);
    KivDestroy(engine);
  }
};

// Owns one engine; dropping it removes the satellite, then destroys it.
using EngineHandle = std::unique_ptr<KIV, EngineRemover>;

// Creates an engine answering with `handler` (null: calls only) and
// registers it as `name` with the directory at 127.0.0.1:directoryPort
// (0: the directory's own port), offering `service` when one is named.
inline EngineHandle StartEngine(std::u16string_view name, KivRequestCallback handler,
                                const char16_t* service = nullptr,
                                std::uint16_t directoryPort = 0) {
  KIV* created = nullptr;
  if (KivCreate(&created, handler, nullptr, nullptr) != 0) {
    std::fprintf(stderr, "creating the engine of %s failed\n", kiv::ToUtf8(name).c_str());
    return nullptr;
  }
  EngineHandle engine(created);
  kiv::Variant services;
  if (service != nullptr) {
    const kiv::Bstr serviceName{std::u16string_view(service)};
    const kiv::Bstr description(u"answers its input");
    KivCreateServices(services.get(), 1);
    KivSetService(services.get(), 0, serviceName.get(), description.get());
  }
  kiv::Variant returnCode;
  const kiv::Bstr satelliteName(name);
  KivRegister(engine.get(), "127.0.0.1", directoryPort, satelliteName.get(), services.get(),
              returnCode.get());
  if (returnCode.vt() != VT_I4 || returnCode->lVal != 0) {
    std::fprintf(stderr, "registering %s failed\n", kiv::ToUtf8(name).c_str());
    return nullptr;
  }
  return engine;
}

}  // namespace kiv::bench

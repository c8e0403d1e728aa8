// Requests to the directory: every one is bounded, so a directory that hangs
// (stopped, or stuck) costs its callers seconds, never their thread.
#include "engine/call.h"
#include "engine/engine_object.h"
#include "engine/engine_state.h"
#include "support/registry/registry.h"
#include "support/time/time_limits.h"

namespace kiv::engine {

std::int32_t CallDirectory(KIV* engine, const char* requestName, VARIANT* argument, VARIANT* value,
                           std::int32_t* returnCode) {
  const DirectoryLink directory = DirectoryLinkOf(engine);
  return CallWithin(engine, directory.address.c_str(), directory.port, requestName, argument, value,
                    returnCode, engine->directoryTimeoutMs);
}

std::int32_t ConfiguredDirectoryTimeoutMs() {
  constexpr std::uint32_t kLongestSeconds = 3600;
  std::uint32_t seconds = 0;
  const boost::shared_ptr<CRegistry> registry = GetRegistry();
  if (registry &&
      registry->GetDwordValue(u"Software\\ZIB Networks\\Zib", u"DirectoryTimeout", seconds) &&
      seconds >= 1 && seconds <= kLongestSeconds) {
    return static_cast<std::int32_t>(seconds * 1000);
  }
  return kiv::LimitMs(kiv::TimeLimit::kDirectoryAnswer);
}

}  // namespace kiv::engine

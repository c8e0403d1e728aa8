// Requests to the directory: every one is bounded, so a directory that hangs
// (stopped, or stuck) costs its callers seconds, never their thread.
#include "engine/call.h"
#include "engine/engine_object.h"
#include "engine/engine_state.h"
#include "engine/message_limit.h"

namespace kiv::engine {

std::int32_t CallDirectory(KIV* engine, const char* requestName, VARIANT* argument, VARIANT* value,
                           std::int32_t* returnCode) {
  const DirectoryLink directory = DirectoryLinkOf(engine);
  return CallWithin(engine, directory.address.c_str(), directory.port, requestName, argument, value,
                    returnCode, engine->directoryTimeoutMs);
}

std::int32_t ConfiguredDirectoryTimeoutMs() {
  return ConfiguredLimitMs(u"DirectoryTimeout", kiv::TimeLimit::kDirectoryAnswer, 3600);
}

}  // namespace kiv::engine

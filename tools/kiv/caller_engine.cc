#include "tools/kiv/caller_engine.h"

#include <ostream>
#include <stdexcept>

#include "engine/call.h"
#include "engine/engine_state.h"
#include "kiv/result_codes.h"
#include "kiv/utf8.h"
#include "kiv/value.h"
#include "tools/kiv/command_satellite.h"
#include "tools/kiv/result_text.h"

namespace kiv::cli {

CallerEngine::CallerEngine(const Context& context)
    : directory_(context.options.directoryHost + ":" +
                 std::to_string(context.options.directoryPort)) {
  if (KivCreate(&engine_, nullptr, nullptr, nullptr) != 0 || engine_ == nullptr) {
    throw std::runtime_error("cannot create an engine");
  }
  const Bstr name(FromUtf8(context.options.name));
  engine::UseDirectory(engine_, context.options.directoryHost, context.options.directoryPort,
                       name.get());
}

CallerEngine::~CallerEngine() {
  KivRemoveSatellite(engine_);  // closes its connections; it never registered
  KivDestroy(engine_);
}

std::int32_t CallerEngine::AskDirectory(const char* request, VARIANT* argument, VARIANT* value,
                                        std::int32_t* returnCode) const {
  return engine::CallDirectory(engine_, request, argument, value, returnCode);
}

int DirectoryFailure(Context& context, std::string_view command, const CallerEngine& engine,
                     std::int32_t result, std::string_view what) {
  context.err << "kiv: " << command << ": ";
  if (result == KIV_E_TIMED_OUT) {
    context.err << "the directory at " << engine.directory() << " did not answer in time (" << what
                << "; its DirectoryTimeout): " << DescribeCode(result) << '\n';
    return kExitTimedOut;
  }
  if (IsUnreachable(result)) {
    context.err << "no directory answered at " << engine.directory() << ": " << DescribeCode(result)
                << '\n';
    return kExitNoDirectory;
  }
  context.err << "the directory at " << engine.directory() << " did not " << what << ": "
              << DescribeCode(result) << '\n';
  return kExitFailed;
}

}  // namespace kiv::cli

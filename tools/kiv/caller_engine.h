// The engine of a one-shot kiv command (call, list, ping): it asks the
// directory of --directory and calls satellites under the --name, but never
// registers, so an interrupted command leaves nothing behind in the
// directory's table or log.
#pragma once

#include <string>

#include "kiv/engine.h"
#include "tools/kiv/cli.h"

namespace kiv::cli {

class CallerEngine {
 public:
  explicit CallerEngine(const Context& context);
  ~CallerEngine();
  CallerEngine(const CallerEngine&) = delete;
  CallerEngine& operator=(const CallerEngine&) = delete;

  KIV* get() const { return engine_; }
  // "HOST:PORT" of the directory, for messages.
  const std::string& directory() const { return directory_; }
  // One request to the directory, bounded by the library's directory
  // time-out; the result as KivCall gives it.
  std::int32_t AskDirectory(const char* request, VARIANT* argument, VARIANT* value,
                            std::int32_t* returnCode) const;

 private:
  KIV* engine_ = nullptr;
  std::string directory_;
};

// Exit status and one line on standard error for a result that means the
// directory could not be asked: 3 unreachable, 4 timed out, 1 otherwise.
int DirectoryFailure(Context& context, std::string_view command, const CallerEngine& engine,
                     std::int32_t result, std::string_view what);

}  // namespace kiv::cli

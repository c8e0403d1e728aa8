// The satellite a kiv command connects as: the global --name, registered
// with the directory of --directory, disconnected when the object goes. The
// owner's thread connects and calls; handlers (kiv serve's) run on engine
// threads.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "kiv/satellite.h"
#include "kiv/value.h"
#include "tools/kiv/cli.h"

namespace kiv::cli {

class CommandSatellite : public KivSatellite {
 public:
  // Called at every connection to declare the services (none by default).
  using Declare = std::function<void(CommandSatellite&)>;
  // Each availability notice, on an engine worker thread.
  using Notice =
      std::function<void(const char16_t* service, const char16_t* satellite, std::int32_t state)>;

  explicit CommandSatellite(Declare declare = {}, Notice notice = {})
      : declare_(std::move(declare)), notice_(std::move(notice)) {}
  ~CommandSatellite() override { Disconnect(); }

  using KivSatellite::AddService;

  // Asks the directory ("MainRegister") `request` with `argument`, waiting
  // at most 30 s. 0 with the directory's answer in `answer`, or the
  // request's code or the directory's status.
  std::int32_t AskDirectory(const char16_t* request, const VARIANT& argument, Variant& answer);

 protected:
  void InitServices() override {
    if (declare_) declare_(*this);
  }
  void OnServiceAvailabilityChanged(const char16_t* service, const char16_t* satellite,
                                    std::int32_t state) override {
    if (notice_) notice_(service, satellite, state);
  }

 private:
  const Declare declare_;
  const Notice notice_;
};

// Connects under context.options. On failure prints one line naming the
// directory and the code, and answers the exit status: kExitNoDirectory
// when no directory answered, kExitFailed when one refused.
std::optional<int> ConnectCommand(Context& context, std::string_view command,
                                  CommandSatellite& satellite);

// Whether a result means that nothing answered at the other end.
bool IsUnreachable(std::int32_t result);

// The one VT_I4 status of a single-target Request, -1 when there is none.
std::int32_t SingleStatus(const VARIANT& statuses);

}  // namespace kiv::cli

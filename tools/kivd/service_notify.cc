#include "tools/kivd/service_notify.h"

#if KIV_HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#include <time.h>
#endif

namespace kiv::kivd {

#if KIV_HAVE_LIBSYSTEMD

namespace {

// The environment is kept (unset_environment 0): kivd notifies again on
// every reload and at its stop.
void Notify(const std::string& state) {
  sd_notify(0, state.c_str());
}

}  // namespace

void NotifyReady(const std::string& status) {
  Notify("READY=1\nSTATUS=" + status);
}

void NotifyReloading() {
  // Newer managers match the reload to its request by this time stamp.
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const long long micros = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  Notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(micros));
}

void NotifyStopping() {
  Notify("STOPPING=1");
}

#else

void NotifyReady(const std::string&) {}
void NotifyReloading() {}
void NotifyStopping() {}

#endif

}  // namespace kiv::kivd

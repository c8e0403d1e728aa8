// Tells the service manager how kivd is doing: ready, reloading, stopping.
// Each call does nothing unless a manager asked for it (NOTIFY_SOCKET set,
// as systemd does for Type=notify) or when kivd was built without
// libsystemd. Failures are ignored: the manager's own time-out reports them.
#pragma once

#include <string>

namespace kiv::kivd {

// READY=1 with a one-line STATUS= for `systemctl status`.
void NotifyReady(const std::string& status);
// RELOADING=1 at the start of a reload; NotifyReady ends it.
void NotifyReloading();
void NotifyStopping();

}  // namespace kiv::kivd

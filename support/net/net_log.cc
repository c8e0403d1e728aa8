#include "support/net/net_log.h"

#include "kiv/utf8.h"
#include "support/log/log.h"

namespace kiv::net_internal {

void LogUnresolvedConnect(const std::string& host, std::uint16_t port) {
  LogWarn(u"Failed to connect to %.256s:%d , could not resolve hostname", FromUtf8(host).c_str(),
          static_cast<int>(port));
}

void LogHostNameUnreadable() {
  LogDebug(u"Error when getting local host name.");
}

void LogNoBestInterface(const std::string& destination, int error) {
  LogDebug(u"ERROR:Could not get best interface for %.16s: err0 x%x", FromUtf8(destination).c_str(),
           error);
}

void LogAdapterListFailure(int error) {
  LogDebug(u"ERROR:Could not GetAdaptersInfo err 0x%x", error);
}

void LogInterfaceNotFound(int index) {
  LogDebug(u"ERROR:Could not find the interface index %d", index);
}

}  // namespace kiv::net_internal

#include "engine/message_limit.h"

#include "support/log/log.h"
#include "support/registry/registry.h"

namespace kiv::engine {

std::uint64_t ConfiguredMessageLimit() {
  std::uint32_t value = 0;
  const boost::shared_ptr<CRegistry> registry = GetRegistry();
  if (!registry ||
      !registry->GetDwordValue(u"Software\\ZIB Networks\\Zib", u"MaxMessageSize", value)) {
    return 0;
  }
  return value;
}

std::int32_t ConfiguredLimitMs(const char16_t* name, kiv::TimeLimit which, std::uint32_t longest) {
  std::uint32_t seconds = 0;
  const boost::shared_ptr<CRegistry> registry = GetRegistry();
  if (registry && registry->GetDwordValue(u"Software\\ZIB Networks\\Zib", name, seconds) &&
      seconds >= 1 && seconds <= longest) {
    return static_cast<std::int32_t>(seconds * 1000);
  }
  return kiv::LimitMs(which);
}

void ReportUnreadMessage(const kiv::SocketSource& in, const std::string& what,
                         std::int32_t timeoutMs) {
  if (in.refusedSize() != 0) {
    LogWarn(u"KIV: %hs refused: %llu bytes or more, MaxMessageSize is %llu bytes", what.c_str(),
            static_cast<unsigned long long>(in.refusedSize()),
            static_cast<unsigned long long>(in.limit()));
  } else if (in.missedDeadline()) {
    LogWarn(u"KIV: %hs not complete within %d ms; connection dropped", what.c_str(), timeoutMs);
  }
}

}  // namespace kiv::engine

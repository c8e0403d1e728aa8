#include "engine/message_limit.h"

#include <malloc.h>

#include "support/log/log.h"
#include "support/registry/registry.h"

namespace kiv::engine {

namespace {

std::uint64_t ConfiguredBytes(const char16_t* name, std::uint64_t fallback) {
  std::uint32_t value = 0;
  const boost::shared_ptr<CRegistry> registry = GetRegistry();
  if (!registry || !registry->GetDwordValue(u"Software\\ZIB Networks\\Zib", name, value) ||
      value == 0) {
    return fallback;
  }
  return value;
}

}  // namespace

std::uint64_t ConfiguredMessageLimit() {
  return ConfiguredBytes(u"MaxMessageSize", kDefaultMessageLimit);
}

kiv::DecodeBudget& ProcessDecodeBudget() {
  static kiv::DecodeBudget budget(ConfiguredBytes(u"MaxDecodingMemory", kDefaultDecodingMemory));
  return budget;
}

void TrimAfterLargeMessage(const kiv::SocketSource& in) {
  // Thousands of small blocks freed by a worker stay in its arena otherwise.
  if (in.charged() > kTrimAfterCharged) ::malloc_trim(0);
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
  if (in.overBudget() && in.budget() != nullptr) {
    LogWarn(
        u"KIV: %hs refused: messages being read at once would take more than %llu bytes, "
        u"MaxDecodingMemory",
        what.c_str(), static_cast<unsigned long long>(in.budget()->limit()));
  } else if (in.refusedSize() != 0) {
    LogWarn(u"KIV: %hs refused: %llu bytes or more, MaxMessageSize is %llu bytes", what.c_str(),
            static_cast<unsigned long long>(in.refusedSize()),
            static_cast<unsigned long long>(in.limit()));
  } else if (in.missedDeadline()) {
    LogWarn(u"KIV: %hs not complete within %d ms; connection dropped", what.c_str(), timeoutMs);
  }
}

}  // namespace kiv::engine

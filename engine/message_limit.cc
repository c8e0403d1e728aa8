#include "engine/message_limit.h"

#include <malloc.h>

#include <chrono>
#include <string>

#include "support/log/log.h"
#include "support/log/log_burst.h"
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
  // A peer can provoke these at will; ten a minute say enough.
  static kiv::LogBurst lines(10, std::chrono::minutes(1));
  const bool refused = in.overBudget() || in.refusedSize() != 0 || in.missedDeadline();
  std::string more;
  if (!refused || !lines.Admit(more)) return;
  if (in.overBudget() && in.budget() != nullptr) {
    LogWarn(
        u"KIV: %hs refused: messages being read at once would take more than %llu bytes, "
        u"MaxDecodingMemory%hs",
        what.c_str(), static_cast<unsigned long long>(in.budget()->limit()), more.c_str());
  } else if (in.refusedSize() != 0) {
    LogWarn(u"KIV: %hs refused: %llu bytes or more, MaxMessageSize is %llu bytes%hs", what.c_str(),
            static_cast<unsigned long long>(in.refusedSize()),
            static_cast<unsigned long long>(in.limit()), more.c_str());
  } else {
    LogWarn(u"KIV: %hs not complete within %d ms; connection dropped%hs", what.c_str(), timeoutMs,
            more.c_str());
  }
}

}  // namespace kiv::engine

#include "tests/soak/registration_check.h"

#include "directory/directory_values.h"
#include "kiv/kiv_exception.h"
#include "kiv/utf8.h"
#include "kiv/vutil.h"

namespace kiv::soak {
namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(100);

}  // namespace

std::vector<std::string> MissingFrom(const Listing& expected, const Listing& listed) {
  std::vector<std::string> missing;
  for (const auto& [name, port] : expected) {
    const auto found = listed.find(name);
    if (found == listed.end()) {
      missing.push_back(name);
    } else if (found->second != port) {
      missing.push_back(name + " (listed at port " + std::to_string(found->second) +
                        ", listening at " + std::to_string(port) + ")");
    }
  }
  return missing;
}

std::int32_t RegistrationCheck::Connect(const std::u16string& directory) {
  return satellite_.Connect(directory.c_str(), FromUtf8(name_).c_str());
}

std::optional<Listing> RegistrationCheck::List() {
  Variant none;
  Variant values;
  Variant statuses;
  const std::int32_t result = satellite_.Request(u"MainRegister", directory::kListSatellites, *none,
                                                 *values, KIV_NOFLAGS, *statuses);
  if (result != 0) return std::nullopt;
  try {
    if (VUtil::GetSingleRetcode(*statuses) != 0) return std::nullopt;
    Variant list;
    VUtil::GetElement(*values, 0, list.get());
    Listing listed;
    for (const auto& record : directory::ReadListAnswer(*list)) {
      listed[ToUtf8(record.name)] = record.port;
    }
    return listed;
  } catch (const KivException& e) {
    verdict_.Violation(
        "the directory's list answered status 0 but cannot be read: " + ToUtf8(e.getMessage()) +
        "\n" + ToUtf8(VUtil::DumpVariant(*values, u"list")));
    return std::nullopt;
  }
}

ListedOutcome RegistrationCheck::AwaitListed(const std::function<Listing()>& expected,
                                             Clock::time_point since, Clock::duration limit,
                                             const std::function<void()>& between) {
  ListedOutcome outcome;
  for (;;) {
    const std::optional<Listing> listed = List();
    const Clock::time_point now = Clock::now();
    outcome.seconds = std::chrono::duration<double>(now - since).count();
    outcome.missing = listed ? MissingFrom(expected(), *listed)
                             : std::vector<std::string>{"(the directory gave no list)"};
    if (outcome.missing.empty()) {
      outcome.complete = true;
      return outcome;
    }
    if (now - since >= limit) return outcome;
    between();
    if (verdict_.WaitForAbort(kPollInterval)) return outcome;
  }
}

}  // namespace kiv::soak

#include "tests/soak/chaos.h"

#include <signal.h>

#include <algorithm>

namespace kiv::soak {
namespace {

constexpr auto kHealthInterval = std::chrono::milliseconds(250);

std::string JoinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace

Chaos::Chaos(Fleet& fleet, RegistrationCheck& check, OutageLog& outages, Verdict& verdict,
             Journal& journal, std::function<Listing()> driverSatellites, ChaosSettings settings,
             std::uint64_t seed)
    : fleet_(fleet),
      check_(check),
      outages_(outages),
      verdict_(verdict),
      journal_(journal),
      driverSatellites_(std::move(driverSatellites)),
      settings_(settings),
      random_(seed) {}

Chaos::~Chaos() {
  Join();
}

void Chaos::Start(Clock::time_point until) {
  until_ = until;
  thread_ = std::make_unique<PThread>(nullptr, this, &Chaos::Run, nullptr);
}

bool Chaos::WaitFinished(std::chrono::milliseconds timeout) {
  return finished_.TimedWaitSet(static_cast<int>(timeout.count()));
}

void Chaos::Join() {
  if (!thread_) return;
  thread_->Join(nullptr);
  thread_.reset();
}

Listing Chaos::Expected() const {
  Listing expected = driverSatellites_();
  for (const auto& [name, port] : fleet_.ListeningSatellites()) expected[name] = port;
  return expected;
}

void* Chaos::Run(void*) {
  const std::size_t satellites = fleet_.size() - 1;
  while (Pause(Between(settings_.pauseMin, settings_.pauseMax)) && Clock::now() < until_) {
    Restore();
    // One disturbance in three hits the directory; the directory dies
    // without a word (SIGKILL) twice as often as it says BYEBYE (SIGTERM).
    if (random_() % 3 == 0) {
      Disturb(Fleet::kDirectory, random_() % 3 == 0 ? SIGTERM : SIGKILL);
    } else {
      Disturb(1 + random_() % satellites, random_() % 2 == 0 ? SIGTERM : SIGKILL);
    }
  }
  finished_.Set();
  return nullptr;
}

bool Chaos::Pause(Clock::duration length) {
  const Clock::time_point end = Clock::now() + length;
  for (;;) {
    fleet_.CheckHealth();
    const Clock::time_point now = Clock::now();
    if (now >= end) return !verdict_.Aborted();
    const auto slice = std::min<Clock::duration>(kHealthInterval, end - now);
    if (verdict_.WaitForAbort(std::chrono::ceil<std::chrono::milliseconds>(slice))) return false;
  }
}

Clock::duration Chaos::Between(Clock::duration low, Clock::duration high) {
  const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(high - low).count();
  return low + std::chrono::milliseconds(span > 0 ? random_() % (span + 1) : 0);
}

void Chaos::Restore() {
  for (std::size_t member = 0; member < fleet_.size(); ++member) {
    if (!fleet_.Running(member)) fleet_.Start(member);
  }
}

void Chaos::Disturb(std::size_t member, int signal) {
  const std::string& name = fleet_.Name(member);
  const std::string how = signal == SIGKILL ? "SIGKILL" : "SIGTERM";
  RestartStats& stats = (member == Fleet::kDirectory ? stats_.directory : stats_.satellites)[how];
  const std::size_t window = outages_.Open(name, Clock::now());
  journal_.Print("stopping " + name + " with " + how);
  fleet_.Stop(member, signal);
  stats.longestStop = std::max(stats.longestStop, fleet_.lastStopSeconds());
  const bool downAsPlanned = Pause(Between({}, settings_.downMax));
  if (!downAsPlanned || !fleet_.Start(member)) {
    outages_.Close(window, Clock::now());
    return;
  }
  ++stats.restarts;
  const Clock::time_point restarted = Clock::now();
  const auto between = [this] { fleet_.CheckHealth(); };
  const auto expected = [this] { return Expected(); };
  const Clock::duration bound = member == Fleet::kDirectory && signal == SIGKILL
                                    ? settings_.relistAfterCrashBound
                                    : settings_.relistBound;
  ListedOutcome listed = check_.AwaitListed(expected, restarted, bound, between);
  if (!listed.complete && !verdict_.Aborted()) {
    // Keep looking, to tell how late it is.
    const std::vector<std::string> missingAtBound = listed.missing;
    listed = check_.AwaitListed(expected, restarted, settings_.observeLimit, between);
    verdict_.Violation("after " + name + " was stopped with " + how +
                       " and restarted, the directory did not " +
                       "list every running satellite within " +
                       Seconds(std::chrono::duration<double>(bound).count(), 0) +
                       " s; missing then: " + JoinNames(missingAtBound) + "; " +
                       (listed.complete ? "all listed after " + Seconds(listed.seconds, 1) + " s"
                                        : "still missing after " + Seconds(listed.seconds, 1) +
                                              " s: " + JoinNames(listed.missing)));
  } else if (listed.complete) {
    ++stats.relistedInBound;
  }
  if (listed.complete) {
    stats.longestRelist = std::max(stats.longestRelist, listed.seconds);
    journal_.Print("all listed " + Seconds(listed.seconds) + " s after " + name + " restarted");
  }
  outages_.Close(window, Clock::now());
}

}  // namespace kiv::soak

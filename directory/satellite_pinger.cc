#include "directory/satellite_pinger.h"

#include <algorithm>

#include "directory/liveness_probe.h"
#include "support/log/log.h"
#include "support/metrics/metrics.h"

namespace kiv::directory {
namespace {

metrics::Counter pingsSent{"kiv_directory_pings_sent_total",
                           "Pings the directory sent to registered satellites"};
metrics::Counter pingsMissed{"kiv_directory_pings_missed_total",
                             "Pings of the directory that found no live satellite"};

}  // namespace

SatellitePinger::SatellitePinger(std::chrono::milliseconds interval, Targets targets, Ping ping,
                                 Report report)
    : interval_(interval),
      targets_(std::move(targets)),
      ping_(std::move(ping)),
      report_(std::move(report)) {}

std::chrono::milliseconds SatellitePinger::AnswerTime(std::chrono::milliseconds interval) {
  return std::clamp(interval / 2, kMinAnswerTime, kMaxAnswerTime);
}

std::chrono::milliseconds SatellitePinger::PingBound(std::chrono::milliseconds interval) {
  // Sending never waits: a fresh connection's buffer takes the ping at once.
  return kProbeConnectTime + AnswerTime(interval);
}

std::size_t SatellitePinger::PingsInFlight(std::size_t targets,
                                           std::chrono::milliseconds interval) {
  const auto waves =
      static_cast<std::size_t>(std::max<long long>(1, (interval / 2) / PingBound(interval)));
  const std::size_t needed = (targets + waves - 1) / waves;
  return std::min(targets, std::max(needed, kMinPingsInFlight));
}

SatellitePinger::~SatellitePinger() {
  Stop();
}

void SatellitePinger::Start() {
  if (thread_) return;
  stop_.Reset();
  thread_ = std::make_unique<PThread>(nullptr, this, &SatellitePinger::Run, nullptr);
}

void SatellitePinger::Stop() {
  if (!thread_) return;
  stop_.Set();
  thread_->Join(nullptr);
  thread_.reset();
}

void* SatellitePinger::Run(void*) {
  using Clock = std::chrono::steady_clock;
  // Rounds start an interval apart, whatever a round took.
  auto nextRound = Clock::now() + interval_;
  for (;;) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextRound - Clock::now());
    if (stop_.TimedWaitSet(static_cast<int>(std::max<long long>(wait.count(), 1)))) break;
    nextRound = std::max(nextRound + interval_, Clock::now());
    try {
      PingRound();
    } catch (const std::exception& e) {
      LogError(u"kivd: ping round failed: %hs", e.what());
    }
    ++rounds_;
  }
  return nullptr;
}

void SatellitePinger::PingRound() {
  round_ = targets_();
  answered_.assign(round_.size(), 0);
  nextTarget_ = 0;
  // Helpers beside this thread, so silent satellites do not hold up the
  // others' pings past the interval.
  const std::size_t inFlight = PingsInFlight(round_.size(), interval_);
  const std::size_t helpers = inFlight > 1 ? inFlight - 1 : 0;
  std::vector<std::unique_ptr<PThread>> threads;
  for (std::size_t i = 0; i < helpers; ++i) {
    try {
      threads.push_back(
          std::make_unique<PThread>(nullptr, this, &SatellitePinger::PingWorker, nullptr));
    } catch (const std::exception&) {
      break;  // fewer helpers; this thread still pings them all
    }
  }
  PingWorker(nullptr);
  for (auto& thread : threads) thread->Join(nullptr);
  // A stop cuts the round short: the satellites not pinged are not blamed.
  const std::size_t pinged = std::min(nextTarget_.load(), round_.size());
  pingsSent.Add(pinged);
  for (std::size_t i = 0; i < pinged; ++i) {
    if (answered_[i] == 0) pingsMissed.Add();
    report_(round_[i], answered_[i] != 0);
  }
}

void* SatellitePinger::PingWorker(void*) {
  for (;;) {
    if (stop_.IsSet()) return nullptr;
    const std::size_t i = nextTarget_++;
    if (i >= round_.size()) return nullptr;
    try {
      answered_[i] = ping_(round_[i], AnswerTime(interval_)) ? 1 : 0;
    } catch (const std::exception& e) {
      LogWarn(u"kivd: ping not sent: %hs", e.what());
    }
  }
}

}  // namespace kiv::directory

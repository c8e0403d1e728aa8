#include "directory/satellite_pinger.h"

#include <algorithm>

#include "support/log/log.h"

namespace kiv::directory {

SatellitePinger::SatellitePinger(std::chrono::milliseconds interval, Targets targets, Ping ping,
                                 Report report)
    : interval_(interval),
      targets_(std::move(targets)),
      ping_(std::move(ping)),
      report_(std::move(report)) {}

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
  const int waitMs = static_cast<int>(std::max<long long>(interval_.count(), 1));
  while (!stop_.TimedWaitSet(waitMs)) {
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
  // Helpers beside this thread, so one slow satellite does not hold up the
  // others' pings for a whole interval.
  const std::size_t helpers = std::min<std::size_t>(round_.size(), kMaxParallelPings) > 1
                                  ? std::min<std::size_t>(round_.size(), kMaxParallelPings) - 1
                                  : 0;
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
  for (std::size_t i = 0; i < pinged; ++i) report_(round_[i], answered_[i] != 0);
}

void* SatellitePinger::PingWorker(void*) {
  for (;;) {
    if (stop_.IsSet()) return nullptr;
    const std::size_t i = nextTarget_++;
    if (i >= round_.size()) return nullptr;
    try {
      answered_[i] = ping_(round_[i]) ? 1 : 0;
    } catch (const std::exception& e) {
      LogWarn(u"kivd: ping not sent: %hs", e.what());
    }
  }
}

}  // namespace kiv::directory

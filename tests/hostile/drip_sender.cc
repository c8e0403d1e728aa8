#include "tests/hostile/drip_sender.h"

#include <poll.h>

#include <algorithm>

namespace kiv::hostile {
namespace {

// The longest single wait, so Stop is honoured promptly.
constexpr std::int64_t kSliceMs = 50;

}  // namespace

DripSender::DripSender(std::vector<DripTarget> targets, std::chrono::milliseconds interval)
    : targets_(std::move(targets)), interval_(interval), offsets_(targets_.size(), 0) {
  thread_ = std::make_unique<TestThread>([this] { Run(); });
}

DripSender::~DripSender() {
  Stop();
}

void DripSender::Stop() {
  stop_.Set();
  thread_.reset();
}

void DripSender::Run() {
  auto next = Clock::now();
  while (!stop_.IsSet()) {
    SendRound();
    next += interval_;
    WatchUntil(next);
  }
}

void DripSender::SendRound() {
  for (std::size_t i = 0; i < targets_.size(); ++i) {
    RawConnection& target = *targets_[i].connection;
    const Bytes& payload = targets_[i].payload;
    if (target.closedByVictim() || offsets_[i] >= payload.size()) continue;
    std::size_t sent = 0;
    target.SendSome(std::span(payload).subspan(offsets_[i], 1), &sent);
    offsets_[i] += sent;
    bytesSent_ += sent;
  }
  CountClosed();
}

void DripSender::WatchUntil(Clock::time_point until) {
  std::vector<pollfd> watched;
  while (!stop_.IsSet()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return;
    watched.clear();
    for (const DripTarget& target : targets_) {
      if (!target.connection->closedByVictim()) {
        watched.push_back({target.connection->fd(), POLLIN, 0});
      }
    }
    const int timeout = static_cast<int>(std::min<std::int64_t>(left, kSliceMs));
    if (watched.empty()) {
      stop_.TimedWaitSet(timeout);
      continue;
    }
    if (::poll(watched.data(), watched.size(), timeout) <= 0) continue;
    // Drain is cheap on a quiet socket, and the order of `watched` shifts as
    // targets close, so every open target is drained.
    for (const DripTarget& target : targets_) target.connection->Drain();
    CountClosed();
  }
}

void DripSender::CountClosed() {
  std::size_t closed = 0;
  for (const DripTarget& target : targets_) closed += target.connection->closedByVictim();
  closed_ = closed;
}

}  // namespace kiv::hostile

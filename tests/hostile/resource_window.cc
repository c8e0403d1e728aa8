#include "tests/hostile/resource_window.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "support/threads/cond.h"

namespace kiv::hostile {

ResourceWindow::ResourceWindow(pid_t pid) : pid_(pid) {
  const auto stats = kiv::testing::ReadProcessStats(pid_);
  vanished_ = !stats;
  if (stats) start_ = peak_ = last_ = *stats;
  startVirtualKiB_ = peakVirtualKiB_ = ReadVirtualKiB(pid_).value_or(0);
  startedAt_ = lastAt_ = Clock::now();
}

void ResourceWindow::Sample() {
  const auto stats = kiv::testing::ReadProcessStats(pid_);
  if (!stats) {
    vanished_ = true;
    return;
  }
  last_ = *stats;
  lastAt_ = Clock::now();
  peak_.residentKiB = std::max(peak_.residentKiB, stats->residentKiB);
  peak_.threads = std::max(peak_.threads, stats->threads);
  peak_.descriptors = std::max(peak_.descriptors, stats->descriptors);
  peak_.cpuSeconds = stats->cpuSeconds;
  peakVirtualKiB_ = std::max(peakVirtualKiB_, ReadVirtualKiB(pid_).value_or(0));
}

std::optional<std::int64_t> ReadVirtualKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoll(line.substr(7));
  }
  return std::nullopt;
}

void ResourceWindow::SampleFor(std::chrono::milliseconds duration,
                               std::chrono::milliseconds period) {
  SampleAllFor({this}, duration, period);
}

double ResourceWindow::CpuShare() const {
  const double wall = std::chrono::duration<double>(lastAt_ - startedAt_).count();
  return wall > 0 ? (last_.cpuSeconds - start_.cpuSeconds) / wall : 0;
}

void SampleAllFor(std::initializer_list<ResourceWindow*> windows,
                  std::chrono::milliseconds duration, std::chrono::milliseconds period) {
  const auto end = Clock::now() + duration;
  // Nothing sets it: the attack runs for a fixed time, sampled on the way.
  PCondFlag pace;
  for (;;) {
    for (ResourceWindow* window : windows) window->Sample();
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return;
    pace.TimedWaitSet(static_cast<int>(std::min<long long>(left, period.count())));
  }
}

std::optional<ProcessStats> AwaitAtMost(pid_t pid, int threads, int descriptors,
                                        std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  PCondFlag pace;
  for (;;) {
    const auto stats = kiv::testing::ReadProcessStats(pid);
    if (!stats) return std::nullopt;
    if ((stats->threads <= threads && stats->descriptors <= descriptors) ||
        Clock::now() >= deadline) {
      return stats;
    }
    pace.TimedWaitSet(20);
  }
}

std::string Describe(const ProcessStats& stats) {
  std::ostringstream text;
  text << "rss " << stats.residentKiB << " KiB, " << stats.threads << " threads, "
       << stats.descriptors << " fds, cpu " << stats.cpuSeconds << " s";
  return text.str();
}

void Print(const std::string& victim, const std::string& phase, const ProcessStats& stats) {
  std::printf("[hostile] %s %s: %s\n", victim.c_str(), phase.c_str(), Describe(stats).c_str());
  std::fflush(stdout);
}

}  // namespace kiv::hostile

// What a victim process uses over one stretch of an attack: resources at
// the start, their peaks over the samples taken, and its CPU time per wall
// second. Reads /proc (testing/process_stats.h); a vanished process
// is remembered, not hidden. One thread uses a window at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>

#include "testing/process_stats.h"
#include "tests/hostile/raw_connection.h"

namespace kiv::hostile {

using kiv::testing::ProcessStats;

class ResourceWindow {
 public:
  // Reads the start.
  explicit ResourceWindow(pid_t pid);

  // Takes one sample into the peaks.
  void Sample();
  // Samples every `period` until `duration` has passed.
  void SampleFor(std::chrono::milliseconds duration,
                 std::chrono::milliseconds period = std::chrono::milliseconds(100));

  bool vanished() const { return vanished_; }
  const ProcessStats& start() const { return start_; }
  const ProcessStats& peak() const { return peak_; }
  const ProcessStats& last() const { return last_; }
  // Address space (VmSize): a buffer allocated on an announced size but
  // never filled shows here, not in the resident memory.
  std::int64_t startVirtualKiB() const { return startVirtualKiB_; }
  std::int64_t peakVirtualKiB() const { return peakVirtualKiB_; }
  // CPU seconds used between the start and the last sample, per wall second.
  double CpuShare() const;

 private:
  pid_t pid_;
  bool vanished_ = false;
  ProcessStats start_;
  ProcessStats peak_;
  ProcessStats last_;
  std::int64_t startVirtualKiB_ = 0;
  std::int64_t peakVirtualKiB_ = 0;
  Clock::time_point startedAt_;
  Clock::time_point lastAt_;
};

// The process's VmSize, or nothing when it has gone.
std::optional<std::int64_t> ReadVirtualKiB(pid_t pid);

// Samples several windows together for `duration`.
void SampleAllFor(std::initializer_list<ResourceWindow*> windows,
                  std::chrono::milliseconds duration,
                  std::chrono::milliseconds period = std::chrono::milliseconds(100));

// Waits until the process holds at most `threads` threads and `descriptors`
// descriptors; its last reading either way.
std::optional<ProcessStats> AwaitAtMost(pid_t pid, int threads, int descriptors,
                                        std::chrono::milliseconds timeout);

// "rss 10240 KiB, 5 threads, 12 fds, cpu 0.31 s".
std::string Describe(const ProcessStats& stats);
// One line for the test log: "[hostile] satellite drip during: rss ...".
void Print(const std::string& victim, const std::string& phase, const ProcessStats& stats);

}  // namespace kiv::hostile

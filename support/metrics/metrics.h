// Process-wide counters an operator can read: requests, bytes, workers,
// connections, and whatever a higher layer (the directory) adds. Each is a
// relaxed atomic bumped where its event happens, with no lock or allocation,
// cheap enough to leave on; Snapshot() reads them all, on any thread.
//
// A metric registers itself when constructed and must live for the whole
// process: define each once, at namespace scope. Metrics are trivially
// destructible, so a worker that counts while the process exits is safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <utility>
#include <vector>

namespace kiv::metrics {

// One metric's value at the time of a snapshot. Names follow Prometheus:
// units in the name, "_total" on counters.
struct Sample {
  std::string name;
  std::string help;
  enum class Kind { kCounter, kGauge } kind;
  std::vector<std::pair<std::string, std::string>> labels;
  double value;
};

// Every registered metric, sorted by name and then labels, so that the
// samples of one name are adjacent.
std::vector<Sample> Snapshot();
// The same as an array of {"name", "help", "type": "counter"|"gauge",
// "labels": {name: value}, "value": integer}.
nlohmann::json SnapshotJson();
// SnapshotJson() as compact text, for callers that do not include the
// JSON library (the engine's "GetKivStatistics" answer).
std::string SnapshotJsonText();

// At most one label per metric (the Prometheus name="value" pair); several
// metrics with one name and different label values make a family.
struct Label {
  const char* name = nullptr;
  const char* value = nullptr;
};

class Metric {
 public:
  Metric(const Metric&) = delete;
  Metric& operator=(const Metric&) = delete;

  std::int64_t Value() const noexcept {
    return static_cast<std::int64_t>(value_.load(std::memory_order_relaxed));
  }

 protected:
  // The strings must outlive the process (literals).
  Metric(const char* name, const char* help, Sample::Kind kind, Label label = {});

  // Unsigned, so that a gauge that dips below zero on the way wraps and
  // comes back rather than overflowing.
  std::atomic<std::uint64_t> value_{0};

 private:
  friend std::vector<Sample> Snapshot();

  const char* const name_;
  const char* const help_;
  const Sample::Kind kind_;
  const Label label_;
  const Metric* next_ = nullptr;  // the registry is a list through the metrics
};

// Only grows.
class alignas(64) Counter final : public Metric {
 public:
  Counter(const char* name, const char* help, Label label = {})
      : Metric(name, help, Sample::Kind::kCounter, label) {}
  void Add(std::uint64_t n = 1) noexcept { value_.fetch_add(n, std::memory_order_relaxed); }
};

// Goes up and down (things in use now).
class alignas(64) Gauge final : public Metric {
 public:
  Gauge(const char* name, const char* help, Label label = {})
      : Metric(name, help, Sample::Kind::kGauge, label) {}
  void Add(std::int64_t n = 1) noexcept {
    value_.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
  }
  void Subtract(std::int64_t n = 1) noexcept { Add(-n); }
  void Set(std::int64_t n) noexcept {
    value_.store(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
  }
};

}  // namespace kiv::metrics

#include "support/metrics/metrics.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <tuple>

namespace kiv::metrics {
namespace {

// Constant-initialised, so that metrics constructed during other files'
// static initialisation find it ready.
constinit std::atomic<const Metric*> registry{nullptr};

}  // namespace

Metric::Metric(const char* name, const char* help, Sample::Kind kind, Label label)
    : name_(name), help_(help), kind_(kind), label_(label) {
  const Metric* head = registry.load(std::memory_order_relaxed);
  do {
    next_ = head;
  } while (!registry.compare_exchange_weak(head, this, std::memory_order_release,
                                           std::memory_order_relaxed));
}

std::vector<Sample> Snapshot() {
  std::vector<Sample> samples;
  for (const Metric* metric = registry.load(std::memory_order_acquire); metric != nullptr;
       metric = metric->next_) {
    Sample sample{metric->name_, metric->help_, metric->kind_, {}, 0};
    if (metric->label_.name != nullptr) {
      sample.labels.emplace_back(metric->label_.name, metric->label_.value);
    }
    const std::uint64_t raw = metric->value_.load(std::memory_order_relaxed);
    sample.value = metric->kind_ == Sample::Kind::kGauge
                       ? static_cast<double>(static_cast<std::int64_t>(raw))
                       : static_cast<double>(raw);
    samples.push_back(std::move(sample));
  }
  std::ranges::sort(samples, [](const Sample& a, const Sample& b) {
    return std::tie(a.name, a.labels) < std::tie(b.name, b.labels);
  });
  return samples;
}

nlohmann::json SnapshotJson() {
  nlohmann::json all = nlohmann::json::array();
  for (const Sample& sample : Snapshot()) {
    nlohmann::json labels = nlohmann::json::object();
    for (const auto& [name, value] : sample.labels) labels[name] = value;
    // Every value is a count; as an integer it reads "3", not "3.0".
    all.push_back({{"name", sample.name},
                   {"help", sample.help},
                   {"type", sample.kind == Sample::Kind::kCounter ? "counter" : "gauge"},
                   {"labels", std::move(labels)},
                   {"value", static_cast<std::int64_t>(std::llround(sample.value))}});
  }
  return all;
}

std::string SnapshotJsonText() {
  return SnapshotJson().dump();
}

}  // namespace kiv::metrics

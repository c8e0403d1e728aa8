#include "tools/kivd/metrics_text.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

namespace kiv::kivd {
namespace {

using metrics::Sample;

prometheus::Labels LabelsOf(const Sample& sample) {
  return {sample.labels.begin(), sample.labels.end()};
}

// Registers the family of samples[first] with every sample of its name;
// answers the index past them.
template <class Builder, class Apply>
std::size_t AddFamily(prometheus::Registry& registry, const std::vector<Sample>& samples,
                      std::size_t first, Builder builder, Apply apply) {
  auto& family = builder.Name(samples[first].name).Help(samples[first].help).Register(registry);
  std::size_t next = first;
  for (; next < samples.size() && samples[next].name == samples[first].name; ++next) {
    apply(family.Add(LabelsOf(samples[next])), samples[next].value);
  }
  return next;
}

}  // namespace

std::string PrometheusText(const std::vector<Sample>& samples) {
  prometheus::Registry registry;
  for (std::size_t i = 0; i < samples.size();) {
    if (samples[i].kind == Sample::Kind::kCounter) {
      i = AddFamily(registry, samples, i, prometheus::BuildCounter(),
                    [](prometheus::Counter& counter, double value) { counter.Increment(value); });
    } else {
      i = AddFamily(registry, samples, i, prometheus::BuildGauge(),
                    [](prometheus::Gauge& gauge, double value) { gauge.Set(value); });
    }
  }
  return prometheus::TextSerializer().Serialize(registry.Collect());
}

}  // namespace kiv::kivd

// The process's metrics in Prometheus' text format (version 0.0.4), for
// kivd's /metrics. prometheus-cpp writes the text, so that escaping, the
// HELP and TYPE lines and number formats follow the format exactly. Pure.
#pragma once

#include <string>
#include <vector>

#include "support/metrics/metrics.h"

namespace kiv::kivd {

inline constexpr char kPrometheusContentType[] = "text/plain; version=0.0.4";

// Samples of one name form one family; they must be adjacent, as
// kiv::metrics::Snapshot() answers them. Throws std::invalid_argument on a
// name Prometheus does not allow.
std::string PrometheusText(const std::vector<metrics::Sample>& samples);

}  // namespace kiv::kivd

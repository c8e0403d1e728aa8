#include "tests/soak/summary.h"

#include <iomanip>

#include "kiv/result_codes.h"

namespace kiv::soak {
namespace {

std::string ByStatus(const std::map<std::int32_t, std::uint64_t>& failures) {
  std::uint64_t total = 0;
  std::string text;
  for (const auto& [status, count] : failures) {
    total += count;
    text += "\n      " + std::to_string(count) + " x " + DescribeResult(status);
  }
  return std::to_string(total) + text;
}

std::string Restarts(const std::map<std::string, RestartStats>& bySignal) {
  if (bySignal.empty()) return "none";
  std::string text;
  for (const auto& [signal, stats] : bySignal) {
    text += "\n      " + signal + ": " + std::to_string(stats.restarts) + " restarts, " +
            std::to_string(stats.relistedInBound) + " listed again in time, longest re-listing " +
            Seconds(stats.longestRelist) + " s, longest stop " + Seconds(stats.longestStop) + " s";
  }
  return text;
}

void Line(std::ostream& out, const std::string& label, const std::string& value) {
  out << "  " << std::left << std::setw(30) << label << value << '\n';
}

}  // namespace

void PrintSummary(std::ostream& out, const SoakFigures& figures) {
  out << "kiv_soak summary (seed " << figures.seed << ")\n";
  Line(out, "duration",
       Seconds(figures.seconds, 1) + " s (disturbances for " +
           std::to_string(figures.disturbedSeconds) + " s)");
  Line(out, "calls made", std::to_string(figures.calls.made));
  Line(out, "calls ok", std::to_string(figures.calls.ok));
  Line(out, "calls failed during outages", ByStatus(figures.calls.failedInOutage));
  Line(out, "calls failed while all up", ByStatus(figures.calls.failedWhileUp));
  Line(out, "longest call", Seconds(figures.calls.longestSeconds) + " s");
  Line(out, "directory restarts", Restarts(figures.chaos.directory));
  Line(out, "satellite restarts", Restarts(figures.chaos.satellites));
  for (const auto& [kind, resources] : figures.resources) {
    std::string text = std::to_string(resources.samples) + " samples; peak RSS " +
                       std::to_string(resources.peak.residentKiB) + " KiB, threads " +
                       std::to_string(resources.peak.threads) + ", descriptors " +
                       std::to_string(resources.peak.descriptors);
    if (resources.baseline) {
      text += "; baseline (" + resources.baselineFrom + ") RSS " +
              std::to_string(resources.baseline->residentKiB) + " KiB, threads " +
              std::to_string(resources.baseline->threads) + ", descriptors " +
              std::to_string(resources.baseline->descriptors);
    }
    Line(out, "resources of " + kind, text);
  }
  Line(out, "violations", std::to_string(figures.violations.size()));
  for (const std::string& violation : figures.violations) {
    out << "    - " << violation.substr(0, violation.find('\n')) << '\n';
  }
}

}  // namespace kiv::soak

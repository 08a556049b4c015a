// Console reporter that also keeps each benchmark's items per second, so a
// benchmark program can compare runs and print its verdict against targets.
#pragma once
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

namespace kxbench {

class RateCollector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      auto it = r.counters.find("items_per_second");
      if (it != r.counters.end() && !r.error_occurred) rates[r.benchmark_name()] = it->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> rates;
};

}  // namespace kxbench

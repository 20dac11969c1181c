#pragma once

// Console output as usual, plus the items per second of each run, for the ratio table a benchmark
// prints after its runs. With --benchmark_repetitions the median stands for the benchmark.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace snlbench {

class RateReporter : public benchmark::ConsoleReporter {
 public:
  // unit names what is counted, as printed in the ratio lines: "records/s".
  explicit RateReporter(const char* unit) : unit_(unit) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      auto it = run.counters.find("items_per_second");
      if (it != run.counters.end()) rates_[run.run_name.str()] = it->second;
    }
  }
  // Items per second of the run named so, 0 when there was none.
  double Rate(const std::string& name) const {
    auto it = rates_.find(name);
    return it == rates_.end() ? 0 : it->second;
  }
  // One line "label  a / b unit = a/b", nothing when either run is missing.
  void PrintRatio(const std::string& label, const std::string& a, const std::string& b) const {
    const double x = Rate(a), y = Rate(b);
    if (x <= 0 || y <= 0) return;
    std::printf("%-58s %11.0f / %11.0f %s = %5.2f\n", label.c_str(), x, y, unit_, x / y);
  }

 private:
  const char* unit_;
  std::map<std::string, double> rates_;
};

}  // namespace snlbench

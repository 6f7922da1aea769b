// The benchmarks' main: runs them with the console reporter, then prints
// every registered ratio against its baseline from the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "bench/BenchRatio.h"

std::vector<BenchRatio>& benchRatios() {
  static std::vector<BenchRatio> ratios;
  return ratios;
}

namespace {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      std::string name = run.benchmark_name();
      for (const auto& counter : run.counters) m_rates[name][counter.first] = counter.second.value;
      if (run.real_accumulated_time > 0 && run.iterations > 0)
        m_rates[name]["time_per_iteration"] = run.real_accumulated_time / static_cast<double>(run.iterations);
    }
  }
  // Benchmarks whose name starts with `prefix` (arguments and suffixes follow a '/').
  double rate(const std::string& prefix, const std::string& counter) const {
    for (const auto& entry : m_rates)
      if (entry.first == prefix || entry.first.compare(0, prefix.size() + 1, prefix + "/") == 0) {
        auto it = entry.second.find(counter);
        if (it != entry.second.end()) return it->second;
      }
    return 0;
  }

 private:
  std::map<std::string, std::map<std::string, double>> m_rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  bool missed = false;
  for (const BenchRatio& r : benchRatios()) {
    double measured = reporter.rate(r.name, r.counter);
    double base = reporter.rate(r.baseline, r.counter);
    if (measured <= 0 || base <= 0) continue;
    double ratio = measured / base;
    bool met = r.goal <= 0 || ratio >= r.goal;
    missed |= !met;
    std::printf("ratio %s / %s (%s): %.3fx%s\n", r.name.c_str(), r.baseline.c_str(), r.counter.c_str(), ratio,
                r.goal > 0 ? (met ? "  goal met" : "  GOAL MISSED") : "");
  }
  (void)missed;  // figures are reported, not judged, here
  return 0;
}

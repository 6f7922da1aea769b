#pragma once
// Benchmarks report their speed as a ratio to a baseline measured in the same
// run, since the machines they run on are noisy. A benchmark file names its
// pairs with TAVRO_BENCH_RATIO; BenchMain prints each ratio after the run.

#include <string>
#include <vector>

struct BenchRatio {
  std::string name;      // the measured benchmark
  std::string baseline;  // the plain way of doing the same work
  std::string counter;   // a rate counter both report, e.g. "bytes_per_second"
  double goal;           // the least acceptable ratio; 0: none
};

std::vector<BenchRatio>& benchRatios();

struct BenchRatioRegistration {
  BenchRatioRegistration(const char* name, const char* baseline, const char* counter, double goal) {
    benchRatios().push_back({name, baseline, counter, goal});
  }
};

#define TAVRO_BENCH_CONCAT2(a, b) a##b
#define TAVRO_BENCH_CONCAT(a, b) TAVRO_BENCH_CONCAT2(a, b)
#define TAVRO_BENCH_RATIO(name, baseline, counter, goal) \
  static BenchRatioRegistration TAVRO_BENCH_CONCAT(benchRatio_, __LINE__)(name, baseline, counter, goal)

// Update streams applied to cached instruments, against storing the same
// values in a plain hash map of strings: field updates per second.
#include <benchmark/benchmark.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "bench/BenchRatio.h"
#include "bench/BenchUpdates.h"
#include "dde/Stock.h"
#include "support/Log.h"

namespace {

const int FIELDS_PER_UPDATE = BENCH_FIELDS_PER_UPDATE;
typedef BenchUpdate Update;

const std::vector<Update>& updates() {
  static std::vector<Update> all = makeBenchUpdates(20000, 1000);
  return all;
}

void BM_HashMapStore(benchmark::State& state) {
  const auto& all = updates();
  std::unordered_map<std::string, std::string> values;
  for (auto _ : state) {
    for (const Update& u : all)
      for (const auto& v : u.values) values[u.symbol + ":" + std::to_string(v.first)] = v.second;
    benchmark::ClobberMemory();
  }
  state.counters["field_updates"] = benchmark::Counter(
      static_cast<double>(state.iterations() * all.size() * FIELDS_PER_UPDATE), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HashMapStore)->Unit(benchmark::kMillisecond);

void BM_StockImage(benchmark::State& state) {
  setLogLevel(0);
  const auto& all = updates();
  std::vector<Stock*> targets;
  for (const Update& u : all) targets.push_back(findOrCreateStock(u.symbol));
  std::vector<std::string> streams;
  for (const Update& u : all) streams.push_back(u.stream);
  for (auto _ : state) {
    for (std::size_t i = 0; i < all.size(); ++i) {
      QelUpdate reader;
      reader.setBuffer(&streams[i][0], static_cast<unsigned>(streams[i].size()));
      targets[i]->image(&reader);
    }
  }
  state.counters["field_updates"] = benchmark::Counter(
      static_cast<double>(state.iterations() * all.size() * FIELDS_PER_UPDATE), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StockImage)->Unit(benchmark::kMillisecond);
TAVRO_BENCH_RATIO("BM_StockImage", "BM_HashMapStore", "field_updates", 0);

}  // namespace

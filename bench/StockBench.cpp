// Update streams applied to cached instruments, against storing the same
// values in a plain hash map of strings: field updates per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench/BenchRatio.h"
#include "dde/Stock.h"
#include "feed/QelUpdate.h"
#include "support/Log.h"

namespace {

const int FIELDS_PER_UPDATE = 5;
const int FIDS[FIELDS_PER_UPDATE] = {4, 5, 3, 1, 16};  // BID OFFER CUR CHANGE VOLUME

struct Update {
  std::string symbol;
  std::string stream;
  std::vector<std::pair<int, std::string>> values;
};

const std::vector<Update>& updates() {
  static std::vector<Update> all = [] {
    std::vector<Update> out;
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> price(1000, 99999);
    for (int i = 0; i < 20000; ++i) {
      Update u;
      char symbol[32];
      std::snprintf(symbol, sizeof symbol, "LSE_S%04d", i % 1000);
      u.symbol = symbol;
      char buffer[512];
      QelUpdate writer;
      writer.setWorkingBuffer(buffer, sizeof buffer);
      writer.selectRow(0);
      for (int fid : FIDS) {
        char text[32];
        int p = price(rng);
        std::snprintf(text, sizeof text, "%d.%02d", p / 100, p % 100);
        QelField* field = QelField::create(static_cast<QelFID>(fid), text, static_cast<std::uint32_t>(std::strlen(text)));
        writer.setField(field);
        QelField::release(field);
        u.values.emplace_back(fid, text);
      }
      u.stream.assign(buffer, writer.getDataLength());
      out.push_back(std::move(u));
    }
    return out;
  }();
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

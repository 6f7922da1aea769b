// One spreadsheet refresh of 1,000 changed RTD topics (100 instruments x 10
// fields), against rendering the same 1,000 values as XlTable cells, which is
// what the DDE door does for one advise message each; and the update path's
// own work per watched topic when an update arrives.
#include <benchmark/benchmark.h>

#include <string>
#include <utility>
#include <vector>

#include "bench/BenchRatio.h"
#include "dde/DdeFormats.h"
#include "dde/RtdTopics.h"
#include "dde/Stock.h"
#include "feed/Market.h"
#include "feed/QelUpdate.h"
#include "feed/StdFID.h"
#include "feed/TradeCodes.h"
#include "support/Log.h"

namespace {

const int INSTRUMENTS = 100;
const char* const ITEMS[] = {"BID", "OFFER", "HIGH", "LOW", "CUR", "VOLUME", "NAME", "LAST_TRADE_TIME",
                             "CHANGE", "CHANGE_PC"};
const int TOPICS = INSTRUMENTS * 10;

struct NoListener : RtdUpdateListener {
  void rtdUpdated() override { ++calls; }
  long calls = 0;
};

std::string symbolOf(int i) { return "LSE_I" + std::to_string(i); }

// An update giving every item of instrument `i` a value that depends on `round`.
std::string updateOf(int i, long round) {
  std::string buffer(4096, '\0');
  QelUpdate writer;
  writer.setWorkingBuffer(&buffer[0], static_cast<unsigned>(buffer.size()));
  writer.addRow();
  for (const char* item : ITEMS) {
    int fid = GetFID(item);
    std::string text = fid == GetFID("NAME") ? "Instrument " + std::to_string(i) + (round % 2 ? " plc" : " PLC")
                       : fid == GetFID("LAST_TRADE_TIME") ? std::to_string(1709283907 + round)
                                                          : std::to_string(100 + i) + "." + std::to_string(round % 97);
    QelField* f = QelField::create(static_cast<QelFID>(fid), text.data(), static_cast<std::uint32_t>(text.size()));
    writer.setField(f);
    QelField::release(f);
  }
  buffer.resize(writer.getDataLength());
  return buffer;
}

void setUp() {
  static bool done = false;
  if (done) return;
  done = true;
  setLogLevel(0);
  InitializeFIDs();
  initTradeCodes();
  addMarket("LSE", "LSE", 'R', 0);
  RtdTopics::setMarketsKnown(true);
}

void applyRound(long round) {
  for (int i = 0; i < INSTRUMENTS; ++i) {
    std::string stream = updateOf(i, round);
    QelUpdate reader;
    reader.setBuffer(&stream[0], static_cast<unsigned>(stream.size()));
    findOrCreateStock(symbolOf(i))->image(&reader);
  }
}

// The bytes a refresh's array carries: two VARIANTs a topic and each string's BSTR.
double refreshBytes(const std::vector<std::pair<long, RtdValue>>& changes) {
  const double VARIANT_BYTES = 24, BSTR_OVERHEAD = 6;
  double bytes = 0;
  for (const auto& change : changes)
    bytes += 2 * VARIANT_BYTES + (change.second.isNumber ? 0 : BSTR_OVERHEAD + 2.0 * change.second.text.size());
  return bytes;
}

void BM_RtdRefresh1000(benchmark::State& state) {
  setUp();
  NoListener listener;
  RtdTopics topics(&listener);
  long id = 0;
  for (int i = 0; i < INSTRUMENTS; ++i)
    for (const char* item : ITEMS) topics.connect(++id, {symbolOf(i), item});
  long round = 0;
  double bytes = 0, changed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    applyRound(++round);
    state.ResumeTiming();
    std::vector<std::pair<long, RtdValue>> changes = topics.refresh();
    benchmark::DoNotOptimize(changes.data());
    state.PauseTiming();
    changed = static_cast<double>(changes.size());
    bytes = refreshBytes(changes);
    state.ResumeTiming();
  }
  state.counters["topics"] = benchmark::Counter(static_cast<double>(state.iterations()) * changed,
                                                benchmark::Counter::kIsRate);
  state.counters["changed_per_refresh"] = changed;
  state.counters["array_bytes"] = bytes;
}
BENCHMARK(BM_RtdRefresh1000)->Unit(benchmark::kMicrosecond);

// What the DDE door renders for the same values: one XlTable cell per loop.
void BM_XlTableCells1000(benchmark::State& state) {
  setUp();
  applyRound(1);
  std::vector<std::pair<Stock*, int>> cells;
  for (int i = 0; i < INSTRUMENTS; ++i)
    for (const char* item : ITEMS) cells.emplace_back(findOrCreateStock(symbolOf(i)), GetFID(item));
  for (auto _ : state)
    for (const auto& cell : cells) {
      std::string bytes = renderXlTable(cell.first, cell.first->values[cell.second].c_str(), cell.second);
      benchmark::DoNotOptimize(bytes.data());
    }
  state.counters["topics"] =
      benchmark::Counter(static_cast<double>(state.iterations() * cells.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_XlTableCells1000)->Unit(benchmark::kMicrosecond);
TAVRO_BENCH_RATIO("BM_RtdRefresh1000", "BM_XlTableCells1000", "topics", 0);

// The update path: images of 100 instruments with and without 1,000 RTD
// topics watching them; the difference is the RTD door's own work.
void imageRounds(benchmark::State& state, bool watched) {
  setUp();
  NoListener listener;
  RtdTopics topics(&listener);
  long id = 0;
  if (watched)
    for (int i = 0; i < INSTRUMENTS; ++i)
      for (const char* item : ITEMS) topics.connect(++id, {symbolOf(i), item});
  std::vector<std::string> streams[2];
  for (int r = 0; r < 2; ++r)
    for (int i = 0; i < INSTRUMENTS; ++i) streams[r].push_back(updateOf(i, r));
  std::vector<Stock*> stocks;
  for (int i = 0; i < INSTRUMENTS; ++i) stocks.push_back(findOrCreateStock(symbolOf(i)));
  long round = 0;
  for (auto _ : state) {
    std::vector<std::string>& now = streams[++round % 2];
    for (int i = 0; i < INSTRUMENTS; ++i) {
      QelUpdate reader;
      reader.setBuffer(&now[static_cast<std::size_t>(i)][0], static_cast<unsigned>(now[static_cast<std::size_t>(i)].size()));
      stocks[static_cast<std::size_t>(i)]->image(&reader);
    }
    if (watched && round % 64 == 0) topics.refresh();  // as a spreadsheet would, now and then
  }
  state.counters["topics"] =
      benchmark::Counter(static_cast<double>(state.iterations() * TOPICS), benchmark::Counter::kIsRate);
}
void BM_ImagesUnwatched(benchmark::State& state) { imageRounds(state, false); }
void BM_ImagesWithRtdTopics(benchmark::State& state) { imageRounds(state, true); }
BENCHMARK(BM_ImagesUnwatched)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ImagesWithRtdTopics)->Unit(benchmark::kMicrosecond);
TAVRO_BENCH_RATIO("BM_ImagesWithRtdTopics", "BM_ImagesUnwatched", "topics", 0);

}  // namespace

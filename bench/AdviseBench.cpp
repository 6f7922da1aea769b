// The server's share of an update that clients watch: update streams applied
// to cached instruments with five advise loops each, served over the local
// DDE socket to a client in the same thread, against the same updates with
// no loop to serve. One thread does all of it, so the rate is per core.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "bench/BenchDde.h"
#include "bench/BenchRatio.h"
#include "bench/BenchUpdates.h"
#include "dde/DDEInterface.h"
#include "dde/Stock.h"
#include "platform/EventLoop.h"
#include "tools/ddeclient/DdeClient.h"

namespace {

const int INSTRUMENTS = 1000;
const int UPDATES = 20000;
const int FIELDS_PER_UPDATE = BENCH_FIELDS_PER_UPDATE;
const char* const ITEMS[FIELDS_PER_UPDATE] = {"BID", "OFFER", "CUR", "CHANGE", "VOLUME"};

struct Fixture {
  BenchDdeService service;  // first in, last out: the clients close before it
  EventLoop& loop = service.loop;
  // One bridge connection holds at most 4096 loops.
  static const int PER_CLIENT = 800;
  DdeClient clients[(INSTRUMENTS + PER_CLIENT - 1) / PER_CLIENT];
  std::vector<Stock*> targets;  // per update
  std::vector<std::string> streams;
  bool ok = false;

  Fixture() {
    if (!service.ok) return;
    for (DdeClient& client : clients) {
      client.setIdle([this] { loop.runOnce(1); });
      if (!client.open("TAVRO")) return;
    }
    for (const BenchUpdate& u : makeBenchUpdates(UPDATES, INSTRUMENTS)) {
      streams.push_back(u.stream);
      targets.push_back(findOrCreateStock(u.symbol));
    }
    ok = true;
  }
  ~Fixture() {
    for (DdeClient& client : clients) client.close();
  }

  // Five loops on each of the first `instruments`.
  bool watch(int instruments) {
    for (int i = 0; i < instruments; ++i) {
      DdeClient& client = clients[i / PER_CLIENT];
      std::uint32_t conv = 0;
      if (client.connect("TAVRO", benchSymbol(i), conv) != DdeReply::Ok) return false;
      for (const char* item : ITEMS)
        if (client.adviseStart(conv, item, DdeBridgeFormat::standard(CF_TEXT)) != DdeReply::Ok) return false;
    }
    return true;
  }

  // Applies every update, handing what the server queued to the client after
  // each batch of `batch` updates, as one feed read would.
  unsigned long run(int batch) {
    unsigned long received = 0;
    for (std::size_t i = 0; i < streams.size(); ++i) {
      QelUpdate reader;
      reader.setBuffer(&streams[i][0], static_cast<unsigned>(streams[i].size()));
      targets[i]->image(&reader);
      if ((i + 1) % static_cast<std::size_t>(batch) == 0 || i + 1 == streams.size()) {
        loop.runOnce(0);
        for (DdeClient& client : clients) {
          client.pump(0);
          // nextAdvise on an empty queue would turn the idle function.
          DdeAdvise a;
          while (client.advisesQueued() > 0 && client.nextAdvise(a, 0)) ++received;
        }
      }
    }
    return received;
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void report(benchmark::State& state, unsigned long advises) {
  state.counters["updates"] =
      benchmark::Counter(static_cast<double>(state.iterations() * UPDATES), benchmark::Counter::kIsRate);
  state.counters["advises"] = benchmark::Counter(static_cast<double>(advises), benchmark::Counter::kIsRate);
}

void BM_UpdatesUnwatched(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.ok) return state.SkipWithError("no DDE service");
  unsigned long advises = 0;
  for (auto _ : state) advises += f.run(20);
  report(state, advises);
}
BENCHMARK(BM_UpdatesUnwatched)->Unit(benchmark::kMillisecond);

// Registered after the unwatched run, which must find no loops.
void BM_UpdatesFiveLoops(benchmark::State& state) {
  Fixture& f = fixture();
  if (!f.ok) return state.SkipWithError("no DDE service");
  static bool watching = f.watch(INSTRUMENTS);
  if (!watching) return state.SkipWithError("advise loops refused");
  unsigned long advises = 0;
  for (auto _ : state) advises += f.run(20);
  if (advises < static_cast<unsigned long>(state.iterations()) * UPDATES * FIELDS_PER_UPDATE / 2)
    state.SkipWithError("advise data lost");
  report(state, advises);
}
BENCHMARK(BM_UpdatesFiveLoops)->Unit(benchmark::kMillisecond);
TAVRO_BENCH_RATIO("BM_UpdatesFiveLoops", "BM_UpdatesUnwatched", "updates", 0);

}  // namespace

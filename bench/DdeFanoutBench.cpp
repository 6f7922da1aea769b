// One instrument watched by many conversations, each with a BID loop in text
// and one in XlTable: what an update costs per message when every client
// names the topic one way (one post serves every loop) against each its own
// way (lse_vod_1, lse_vod_2, ...: one post per spelling), and the stall an
// ERROR status causes. The clients share the thread: the update figures hold
// their reading too, the stall only the server's work.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchDde.h"
#include "bench/BenchRatio.h"
#include "dde/Conversation.h"
#include "dde/DDEInterface.h"
#include "dde/Stock.h"
#include "feed/QelField.h"
#include "platform/EventLoop.h"
#include "platform/posix/localdde/DdeBridgeLimits.h"
#include "tools/ddeclient/DdeClient.h"

namespace {

const int PER_CLIENT = 1000;  // conversations per bridge connection (it allows 1024)
const int UPDATES = 20;       // per iteration
const int BID = 4;

// An update stream that sets BID to `value`.
std::string bidStream(int value) {
  char buffer[128];
  QelUpdate writer;
  writer.setWorkingBuffer(buffer, sizeof buffer);
  writer.selectRow(0);
  char text[32];
  std::snprintf(text, sizeof text, "%d.%02d", 100 + value / 100, value % 100);
  QelField* field = QelField::create(static_cast<QelFID>(BID), text, static_cast<std::uint32_t>(std::strlen(text)));
  writer.setField(field);
  QelField::release(field);
  return std::string(buffer, writer.getDataLength());
}

BenchDdeService& service() {
  static BenchDdeService s;
  return s;
}

// `conversations` on one instrument, through as many clients as they need.
struct Crowd {
  std::vector<std::unique_ptr<DdeClient>> clients;
  Stock* stock = nullptr;
  std::vector<std::string> streams;
  int next = 0;
  bool ok = false;

  Crowd(const std::string& code, int conversations, bool distinctSpellings) {
    BenchDdeService& s = service();
    if (!s.ok) return;
    std::string topic = "lse_" + code;
    for (int i = 0; i < conversations; ++i) {
      if (i % PER_CLIENT == 0) {
        clients.emplace_back(new DdeClient);
        clients.back()->setIdle([&s] { s.loop.runOnce(1); });
        if (!clients.back()->open("TAVRO")) return;
      }
      DdeClient& c = *clients.back();
      std::uint32_t conv = 0;
      std::string spelling = distinctSpellings ? topic + "_" + std::to_string(i) : topic;
      if (c.connect("TAVRO", spelling, conv) != DdeReply::Ok) return;
      if (c.adviseStart(conv, "BID", DdeBridgeFormat::standard(CF_TEXT)) != DdeReply::Ok) return;
      if (c.adviseStart(conv, "BID", DdeBridgeFormat::registered("XlTable")) != DdeReply::Ok) return;
    }
    stock = getStock(("LSE_" + code).c_str());
    for (int i = 0; i < 1000; ++i) streams.push_back(bidStream(i));
    ok = stock != nullptr;
  }
  ~Crowd() {
    for (auto& c : clients) c->close();
    for (int i = 0; i < 50; ++i) service().loop.runOnce(0);
  }

  void update() {
    std::string& stream = streams[static_cast<std::size_t>(next++) % streams.size()];
    QelUpdate reader;
    reader.setBuffer(&stream[0], static_cast<unsigned>(stream.size()));
    stock->image(&reader);
    service().loop.runOnce(0);
  }
  // Everything the server queued, read: no value is replaced by the next.
  unsigned long drain() {
    unsigned long received = 0;
    for (bool more = true; more;) {
      more = ddeBridgePendingBytes(ddeInstance) > 0;
      service().loop.runOnce(0);
      for (auto& c : clients) {
        c->pump(0);
        DdeAdvise a;
        while (c->advisesQueued() > 0 && c->nextAdvise(a, 0)) {
          ++received;
          more = true;
        }
      }
    }
    return received;
  }
};

void BM_UpdateFanout(benchmark::State& state) {
  int conversations = static_cast<int>(state.range(0));
  bool distinct = state.range(1) != 0;
  Crowd crowd((distinct ? "dis" : "one") + std::to_string(conversations), conversations, distinct);
  if (!crowd.ok) return state.SkipWithError("conversations refused");
  crowd.update();
  crowd.drain();
  unsigned long messages = 0;
  for (auto _ : state) {
    for (int i = 0; i < UPDATES; ++i) {
      crowd.update();
      messages += crowd.drain();
    }
  }
  double updates = static_cast<double>(state.iterations()) * UPDATES;
  if (messages < static_cast<unsigned long>(updates) * 2 * static_cast<unsigned long>(conversations))
    state.SkipWithError("advise data lost");
  state.counters["updates"] = benchmark::Counter(updates, benchmark::Counter::kIsRate);
  state.counters["messages"] = benchmark::Counter(static_cast<double>(messages), benchmark::Counter::kIsRate);
  state.counters["us_per_msg"] = benchmark::Counter(static_cast<double>(messages) / 1e6,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_UpdateFanout)
    ->ArgNames({"conversations", "distinct"})
    ->Args({1000, 1})
    ->Args({1000, 0})
    ->Args({4000, 1})
    ->Args({4000, 0})
    ->Unit(benchmark::kMillisecond);
// One spelling against distinct ones: the goal is within 1.5x.
TAVRO_BENCH_RATIO("BM_UpdateFanout/conversations:1000/distinct:0", "BM_UpdateFanout/conversations:1000/distinct:1",
                  "messages", 1 / 1.5);
TAVRO_BENCH_RATIO("BM_UpdateFanout/conversations:4000/distinct:0", "BM_UpdateFanout/conversations:4000/distinct:1",
                  "messages", 1 / 1.5);

// The ERROR status of an instrument with S conversations on lse_vod: every
// loop gets "ERROR" once. The time is the loop's stall, the server's share.
void BM_ErrorStall(benchmark::State& state) {
  int conversations = static_cast<int>(state.range(0));
  Crowd crowd("vod", conversations, false);
  if (!crowd.ok) return state.SkipWithError("conversations refused");
  unsigned long messages = 0;
  for (auto _ : state) {
    crowd.stock->error();
    service().loop.runOnce(0);
    state.PauseTiming();
    messages += crowd.drain();
    // Valid and watched again, for the next round.
    crowd.stock->invalid = false;
    for (const auto& entry : crowd.stock->conversations) {
      entry.second->open(BID, CF_TEXT);
      entry.second->open(BID, xltableFmt);
    }
    state.ResumeTiming();
  }
  state.counters["messages_per_error"] =
      benchmark::Counter(static_cast<double>(messages) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_ErrorStall)->ArgName("conversations")->Arg(1000)->Unit(benchmark::kMillisecond);

// Every client leaving at once, each with PER_CLIENT conversations on
// lse_vod: the stall while the server ends them all, per conversation.
void BM_MassDisconnect(benchmark::State& state) {
  int conversations = static_cast<int>(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    std::unique_ptr<Crowd> crowd(new Crowd("vod", conversations, false));
    if (!crowd->ok) return state.SkipWithError("conversations refused");
    for (auto& c : crowd->clients) c->close();
    state.ResumeTiming();
    while (!conversationMap.empty()) service().loop.runOnce(0);
  }
  state.counters["us_per_conversation"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * conversations / 1e6, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_MassDisconnect)->ArgName("conversations")->Arg(5000)->Arg(20000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

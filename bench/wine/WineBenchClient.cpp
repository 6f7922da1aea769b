// winebenchclient: the spreadsheet side of the Wine benchmark, on raw DDE
// messages. It opens one conversation per topic and a CF_TEXT advise loop
// on each item, waits until every loop runs, then counts for SECONDS what
// arrives: every data message, and the updates that are new (a TIME value
// not seen before on that topic; under Wine one post reaches every loop on
// its item, so most messages repeat a value). TIME holds the sender's stamp
// in microseconds since 1970, so each new update gives a latency.
//
//   winebenchclient TOPIC-PREFIX COUNT SECONDS [ITEM,ITEM...]
//     topics are TOPIC-PREFIX0000 .. TOPIC-PREFIX<COUNT-1>; items default BID,OFFER,CUR,VOLUME,TIME
// Prints "ready ..." when the loops run, "measuring", one "result ..." line,
// then "window over": the feed is to be paused then. What was on its way is
// taken for 3 s, and each topic's TIME is requested and compared with the
// last stamp its loops brought: one "last values ..." line (a loop left on
// an older stamp missed its instrument's last change).
// Exit status: 0 measured, 1 usage, 2 no server, 3 nothing arrived.

#include "bench/wine/Micros.h"
#include "tools/ddeclient/ClientOptions.h"
#include "tools/ddeclient/win32/RawDdeClient.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

const int INITIATE_MS = 3000;
const int SETTLE_MS = 1000;
// How long the answers to the advise requests are waited for: under load Wine
// loses one now and then, and data flow to the loops meanwhile.
const int ACKS_MS = 2000;
// Microseconds since 1970 are above this from 2001 on; no price is.
const long long STAMP_FLOOR = 1000000000000000LL;

long long percentile(std::vector<long long>& v, double p) {
  if (v.empty()) return -1;
  std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
  std::nth_element(v.begin(), v.begin() + static_cast<long>(i), v.end());
  return v[i];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || std::atoi(argv[2]) <= 0 || std::atoi(argv[2]) > 1000 || std::atof(argv[3]) <= 0) {
    std::fputs("usage: winebenchclient TOPIC-PREFIX COUNT SECONDS [ITEM,ITEM...]\n", stderr);
    return 1;
  }
  setvbuf(stdout, nullptr, _IONBF, 0);
  const int count = std::atoi(argv[2]);
  const double seconds = std::atof(argv[3]);
  const std::vector<std::string> items = splitList(argc > 4 ? argv[4] : "BID,OFFER,CUR,VOLUME,TIME");

  ULONGLONG setupStart = GetTickCount64();
  std::vector<std::unique_ptr<RawDdeClient>> clients;
  HWND host = HWND_BROADCAST;
  int unacknowledged = 0;
  // Every conversation first, then every loop: data flow as soon as the first
  // loop runs, and under Wine each update reaches every loop on its item.
  for (int i = 0; i < count; ++i) {
    char topic[64];
    std::snprintf(topic, sizeof topic, "%s%04d", argv[1], i);
    clients.push_back(std::make_unique<RawDdeClient>());
    if (!clients.back()->initiate("TAVRO", topic, INITIATE_MS, host)) {
      std::printf("no conversation on %s: %s\n", topic, clients.back()->lastError().c_str());
      return 2;
    }
    host = clients.back()->serverHost();
  }
  // Every loop asked for at once, the answers collected afterwards: set up one
  // by one, the loops already running would fan each update out to the
  // others for seconds before the measurement starts.
  for (auto& c : clients)
    for (const std::string& item : items)
      if (!c->postAdvise(item.c_str(), CF_TEXT)) {
        std::printf("advise %s: %s\n", item.c_str(), c->lastError().c_str());
        return 2;
      }
  const std::size_t wanted = clients.size() * items.size();
  std::size_t answered = 0;
  for (ULONGLONG deadline = GetTickCount64() + ACKS_MS; answered < wanted && GetTickCount64() < deadline;) {
    RawDdeClient::pump(20);
    answered = 0;
    for (auto& c : clients) answered += c->acknowledgements();
  }
  unacknowledged = static_cast<int>(wanted - answered);
  for (auto& c : clients) c->forgetAcks();
  std::printf("ready: %d loops in %d ms (%d not acknowledged)\n", static_cast<int>(count * items.size()),
              static_cast<int>(GetTickCount64() - setupStart), unacknowledged);

  // A second to settle, then the measured window. Only stamps made inside the
  // window count: a repeat of an older value is no new update.
  RawDdeClient::pump(SETTLE_MS);
  DdeValue v;
  for (auto& c : clients)
    while (c->takeAdvise(v)) {
    }
  std::vector<long long> lastStamp(clients.size(), nowMicros());
  std::vector<long long> latencies;
  long messages = 0, updates = 0;
  std::printf("measuring\n");
  ULONGLONG start = GetTickCount64(), end = start + static_cast<ULONGLONG>(seconds * 1000);
  while (GetTickCount64() < end) {
    RawDdeClient::pump(5);
    long long now = nowMicros();
    for (std::size_t i = 0; i < clients.size(); ++i) {
      while (clients[i]->takeAdvise(v)) {
        ++messages;
        // The stamp is the one value of 16 digits. Under Wine the copies of a
        // post that reach the other topics' loops carry an item atom that
        // names nothing, so the item name cannot tell TIME apart.
        long long stamp = std::atoll(v.data.c_str());
        if (stamp < STAMP_FLOOR) continue;
        if (stamp <= lastStamp[i]) continue;
        lastStamp[i] = stamp;
        ++updates;
        latencies.push_back(now - stamp);
      }
    }
  }
  double took = static_cast<double>(GetTickCount64() - start) / 1000.0;
  long long p50 = percentile(latencies, 0.50), p99 = percentile(latencies, 0.99);
  // Doubles throughout: the C runtime under Wine need not know "%lld".
  std::printf("result: seconds %.2f messages %ld updates %ld messages_per_s %.0f updates_per_s %.1f p50_us %.0f p99_us %.0f\n",
              took, messages, updates, static_cast<double>(messages) / took, static_cast<double>(updates) / took,
              static_cast<double>(p50), static_cast<double>(p99));
  std::printf("window over\n");
  for (ULONGLONG until = GetTickCount64() + 3000; GetTickCount64() < until;) {
    RawDdeClient::pump(5);
    for (std::size_t i = 0; i < clients.size(); ++i)
      while (clients[i]->takeAdvise(v)) {
        long long stamp = std::atoll(v.data.c_str());
        if (stamp >= STAMP_FLOOR && stamp > lastStamp[i]) lastStamp[i] = stamp;
      }
  }
  int held = 0, asked = 0;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    DdeValue now;
    if (clients[i]->request("TIME", CF_TEXT, 3000, now) != DdeReply::Ok) continue;
    ++asked;
    if (std::atoll(now.data.c_str()) <= lastStamp[i]) ++held;
  }
  std::printf("last values: %d of %d topics' loops hold the TIME a request answers\n", held, asked);
  for (auto& c : clients) c->terminate(200);
  return updates > 0 ? 0 : 3;
}

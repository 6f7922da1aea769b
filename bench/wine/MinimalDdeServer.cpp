// minimalddeserver: the Wine benchmark's baseline, the least a DDEML server
// must do to serve the same client the same way: service TAVRO, any topic,
// CF_TEXT advise loops and requests, and updates at a total rate spread over
// the topics that have conversations, each update posting every item of its
// topic. TIME carries the update's stamp (microseconds since 1970), the other
// items a changing number. Values are rendered by the conversation of the
// callback's hconv, since Wine reports the posted topic to every loop on the
// item (a post reaches them all). Updates start once LOOPS advise loops run,
// as the benchmark's feed is held until the client's loops are set up.
//
//   minimalddeserver UPDATES-PER-SECOND SECONDS LOOPS [ITEM,ITEM...]
// Prints "ready" once the service is registered; ends after SECONDS.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <ddeml.h>

#include "bench/wine/Micros.h"
#include "tools/ddeclient/ClientOptions.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

struct Topic {
  HSZ name = nullptr;
  long long stamp = 0;
  double price = 100.0;
};

DWORD instance = 0;
std::vector<std::string> itemNames;
std::vector<HSZ> items;
std::vector<Topic> topics;
std::map<std::string, std::size_t> topicIndex;
std::map<HCONV, std::size_t> conversations;
long loops = 0;

std::string text(HSZ hsz) {
  char buffer[128] = "";
  DdeQueryStringA(instance, hsz, buffer, sizeof buffer, CP_WINANSI);
  return buffer;
}

HDDEDATA render(HCONV hconv, HSZ item, UINT format) {
  auto conv = conversations.find(hconv);
  if (format != CF_TEXT || conv == conversations.end()) return nullptr;
  const Topic& t = topics[conv->second];
  char value[64];
  if (lstrcmpiA(text(item).c_str(), "TIME") == 0)
    std::snprintf(value, sizeof value, "%.0f", static_cast<double>(t.stamp));  // exact below 2^53
  else
    std::snprintf(value, sizeof value, "%.2f", t.price);
  return DdeCreateDataHandle(instance, reinterpret_cast<BYTE*>(value), static_cast<DWORD>(strlen(value) + 1), 0, item,
                             CF_TEXT, 0);
}

HDDEDATA CALLBACK callback(UINT type, UINT format, HCONV hconv, HSZ hsz1, HSZ hsz2, HDDEDATA, ULONG_PTR, ULONG_PTR) {
  switch (type) {
    case XTYP_CONNECT:
      return reinterpret_cast<HDDEDATA>(TRUE);
    case XTYP_CONNECT_CONFIRM: {
      std::string name = text(hsz1);
      auto found = topicIndex.find(name);
      if (found == topicIndex.end()) {
        Topic t;
        t.name = DdeCreateStringHandleA(instance, name.c_str(), CP_WINANSI);
        topics.push_back(t);
        found = topicIndex.emplace(name, topics.size() - 1).first;
      }
      conversations[hconv] = found->second;
      return nullptr;
    }
    case XTYP_DISCONNECT:
      conversations.erase(hconv);
      return nullptr;
    case XTYP_ADVSTART:
      if (format != CF_TEXT) return reinterpret_cast<HDDEDATA>(FALSE);
      ++loops;
      return reinterpret_cast<HDDEDATA>(TRUE);
    case XTYP_ADVREQ:
    case XTYP_REQUEST:
      return render(hconv, hsz2, format);
    default:
      return nullptr;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || std::atof(argv[1]) < 0 || std::atof(argv[2]) <= 0 || std::atol(argv[3]) < 0) {
    std::fputs("usage: minimalddeserver UPDATES-PER-SECOND SECONDS LOOPS [ITEM,ITEM...]\n", stderr);
    return 1;
  }
  setvbuf(stdout, nullptr, _IONBF, 0);
  const double rate = std::atof(argv[1]);
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(std::atof(argv[2]) * 1000);
  const long startAfter = std::atol(argv[3]);
  std::string list = argc > 4 ? argv[4] : "BID,OFFER,CUR,VOLUME,TIME";
  itemNames = splitList(list);
  if (DdeInitializeA(&instance, callback, CBF_FAIL_EXECUTES | CBF_FAIL_POKES, 0) != DMLERR_NO_ERROR) return 2;
  for (const std::string& name : itemNames) items.push_back(DdeCreateStringHandleA(instance, name.c_str(), CP_WINANSI));
  HSZ service = DdeCreateStringHandleA(instance, "TAVRO", CP_WINANSI);
  if (!DdeNameService(instance, service, nullptr, DNS_REGISTER)) return 2;
  std::printf("ready\n");

  // Updates are due at `rate` per second since the loops were set up; a 1 ms
  // timer sends what is due, round robin over the topics.
  SetTimer(nullptr, 0, 1, nullptr);
  ULONGLONG first = 0;
  long long sent = 0;
  std::size_t next = 0;
  MSG msg;
  while (GetTickCount64() < end && GetMessageA(&msg, nullptr, 0, 0) > 0) {
    DispatchMessageA(&msg);
    if (msg.message != WM_TIMER || topics.empty() || rate <= 0 || loops < startAfter) continue;
    if (!first) first = GetTickCount64();
    long long due = static_cast<long long>(static_cast<double>(GetTickCount64() - first) * rate / 1000.0);
    for (; sent < due; ++sent) {
      Topic& t = topics[next];
      next = (next + 1) % topics.size();
      t.stamp = nowMicros();
      t.price += (sent % 2) ? 0.01 : -0.01;
      for (HSZ item : items) DdePostAdvise(instance, t.name, item);
    }
  }
  DdeNameService(instance, service, nullptr, DNS_UNREGISTER);
  DdeUninitialize(instance);
  return 0;
}

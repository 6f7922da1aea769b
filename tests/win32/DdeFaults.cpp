// ddefaults: DDE clients that misbehave the way real ones can, on raw DDE
// messages, for the Wine suite's fault checks; and one that behaves and
// measures how the server keeps up with it meanwhile.
//   noack TOPIC ITEM SECONDS      an advise loop that asks for acknowledged data and never acknowledges
//   loops TOPIC N ITEM,ITEM...    N conversations with a loop on each item; "ready" once they run,
//                                 then receives until killed (it never terminates)
//   churn TOPIC N                 N conversations, one after another: connect, request, terminate
//   malformed TOPIC ITEM          unknown atoms, handles that are not valid, a terminate from a window
//                                 with no conversation; then the same conversation asked again
//   watch TOPIC ITEM SECONDS      a well-behaved loop: the updates and the longest gap between them
//   answers TOPIC                 one initiate broadcast: how many servers answer for TAVRO|TOPIC
// Exit status: 0 done, 1 usage, 2 no conversation, 3 the server stopped answering.

#include "tools/ddeclient/ClientOptions.h"
#include "tools/ddeclient/win32/RawDdeClient.h"

#include <dde.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

const int EXIT_USAGE = 1;
const int EXIT_NO_SERVICE = 2;
const int EXIT_NO_ANSWER = 3;
const int INITIATE_MS = 3000;
const int ANSWER_MS = 5000;
const int UNACKNOWLEDGED_MS = 1000;
const char SERVICE[] = "TAVRO";

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

bool connect(RawDdeClient& client, const char* topic) {
  if (client.initiate(SERVICE, topic, INITIATE_MS)) return true;
  say("no conversation: %s", client.lastError().c_str());
  return false;
}

int answers(const char* topic) {
  RawDdeClient client;
  bool any = client.initiate(SERVICE, topic, INITIATE_MS);
  say("answers: %d", client.answers());
  if (!any) return EXIT_NO_SERVICE;
  client.terminate(1000);
  return 0;
}

int noAck(const char* topic, const char* item, double seconds) {
  RawDdeClient client;
  if (!connect(client, topic)) return EXIT_NO_SERVICE;
  client.setAcknowledge(false);
  if (client.adviseStart(item, CF_TEXT, ANSWER_MS) != DdeReply::Ok) {
    say("advise refused: %s", client.lastError().c_str());
    return EXIT_NO_ANSWER;
  }
  RawDdeClient::pump(static_cast<int>(seconds * 1000));
  say("noack: %ld data messages asked for an acknowledgement and got none in %.0f s", client.dataReceived(),
      seconds);
  client.terminate(1000);
  return 0;
}

int loops(const char* topic, int conversations, const std::vector<std::string>& items) {
  ULONGLONG start = GetTickCount64();
  int unacknowledged = 0;
  std::vector<std::unique_ptr<RawDdeClient>> clients;
  HWND host = HWND_BROADCAST;
  for (int i = 0; i < conversations; ++i) {
    clients.push_back(std::make_unique<RawDdeClient>());
    if (!clients.back()->initiate(SERVICE, topic, INITIATE_MS, host)) {
      say("no conversation %d: %s", i + 1, clients.back()->lastError().c_str());
      return EXIT_NO_SERVICE;
    }
    host = clients.back()->serverHost();
    for (const std::string& item : items) {
      // Under Wine an acknowledgement now and then never arrives while data
      // flow, though the server has started the loop; the loop is counted.
      DdeReply r = clients.back()->adviseStart(item.c_str(), CF_TEXT, UNACKNOWLEDGED_MS);
      if (r == DdeReply::Failed && clients.back()->connected()) {
        ++unacknowledged;
      } else if (r != DdeReply::Ok) {
        say("advise %d %s: %s", i, item.c_str(), clients.back()->lastError().c_str());
        return EXIT_NO_ANSWER;
      }
    }
  }
  say("ready: %d loops on %d conversations in %d ms (%d advise acknowledgements never came)",
      static_cast<int>(items.size() * clients.size()), conversations, static_cast<int>(GetTickCount64() - start),
      unacknowledged);
  // Receives (and acknowledges) until the process is killed; the data are dropped as they come.
  for (;;) {
    RawDdeClient::pump(1000);
    DdeValue value;
    for (auto& client : clients)
      while (client->takeAdvise(value)) {
      }
  }
}

int churn(const char* topic, int count) {
  ULONGLONG start = GetTickCount64(), longest = 0;
  for (int i = 0; i < count; ++i) {
    ULONGLONG t = GetTickCount64();
    RawDdeClient client;
    if (!connect(client, topic)) {
      say("churn: conversation %d of %d failed", i + 1, count);
      return EXIT_NO_SERVICE;
    }
    DdeValue value;
    if (client.request("BID", CF_TEXT, ANSWER_MS, value) != DdeReply::Ok) {
      say("churn: request %d of %d: %s", i + 1, count, client.lastError().c_str());
      return EXIT_NO_ANSWER;
    }
    client.terminate(1000);
    longest = std::max(longest, GetTickCount64() - t);
  }
  int took = static_cast<int>(GetTickCount64() - start);
  say("churn: %d conversations connected, asked and terminated in %d ms (mean %d ms, longest %d ms)", count, took,
      took / count, static_cast<int>(longest));
  return 0;
}

// A global atom that names nothing at the moment.
ATOM unknownAtom() {
  char name[8];
  for (ATOM atom = 0xFFFE; atom > 0xC000; --atom)
    if (GlobalGetAtomNameA(atom, name, sizeof name) == 0) return atom;
  return 0xC001;
}

int malformed(const char* topic, const char* item) {
  RawDdeClient client, stranger;
  if (!connect(client, topic)) return EXIT_NO_SERVICE;
  HWND server = client.server();
  WPARAM from = reinterpret_cast<WPARAM>(client.window());
  ATOM unknown = unknownAtom();
  // Handles that were never allocated, in the ranges the system's handles take.
  const UINT_PTR badHandle = 0x0BAD0000;
  auto post = [&](const char* what, UINT msg, WPARAM sender, LPARAM lParam) {
    bool posted = PostMessageA(server, msg, sender, lParam) != 0;
    if (!posted) FreeDDElParam(msg, lParam);
    say("malformed: %s%s", what, posted ? "" : " (the system refused to post it)");
    RawDdeClient::pump(150);
  };
  post("request for an unknown atom", WM_DDE_REQUEST, from, PackDDElParam(WM_DDE_REQUEST, CF_TEXT, unknown));
  post("request in format 0xFFFF", WM_DDE_REQUEST, from, PackDDElParam(WM_DDE_REQUEST, 0xFFFF, GlobalAddAtomA(item)));
  post("unadvise of an unknown atom", WM_DDE_UNADVISE, from, PackDDElParam(WM_DDE_UNADVISE, CF_TEXT, unknown));
  post("advise with an options handle that is not valid", WM_DDE_ADVISE, from,
       PackDDElParam(WM_DDE_ADVISE, badHandle, GlobalAddAtomA(item)));
  HGLOBAL options = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, 2 * sizeof(WORD));
  if (options) {
    auto* advise = static_cast<WORD*>(GlobalLock(options));
    advise[0] = 0;
    advise[1] = CF_TEXT;
    GlobalUnlock(options);
    post("advise on an unknown atom", WM_DDE_ADVISE, from,
         PackDDElParam(WM_DDE_ADVISE, reinterpret_cast<UINT_PTR>(options), unknown));
  }
  post("poke with a data handle that is not valid", WM_DDE_POKE, from,
       PackDDElParam(WM_DDE_POKE, badHandle, GlobalAddAtomA(item)));
  post("data with a handle that is not valid", WM_DDE_DATA, from,
       PackDDElParam(WM_DDE_DATA, badHandle, GlobalAddAtomA(item)));
  // Under Wine the handles above never leave this process; memory blocks too
  // short for what they claim to be do reach the server.
  auto tiny = [](std::size_t size) {
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE | GMEM_ZEROINIT, size);
    return reinterpret_cast<UINT_PTR>(h);
  };
  post("advise with a 1-byte options block", WM_DDE_ADVISE, from, PackDDElParam(WM_DDE_ADVISE, tiny(1), GlobalAddAtomA(item)));
  post("poke with a 2-byte data block", WM_DDE_POKE, from, PackDDElParam(WM_DDE_POKE, tiny(2), GlobalAddAtomA(item)));
  post("data with a 3-byte block", WM_DDE_DATA, from, PackDDElParam(WM_DDE_DATA, tiny(3), GlobalAddAtomA(item)));
  post("execute with a handle that is not valid", WM_DDE_EXECUTE, from, static_cast<LPARAM>(badHandle));
  post("acknowledgement nobody asked for, unknown atom", WM_DDE_ACK, from,
       PackDDElParam(WM_DDE_ACK, 0x8000, unknown));
  post("terminate from a window that holds no conversation", WM_DDE_TERMINATE,
       reinterpret_cast<WPARAM>(stranger.window()), 0);
  post("terminate from a window that is no window", WM_DDE_TERMINATE, static_cast<WPARAM>(0x00ABCDEF), 0);
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(HWND_BROADCAST, WM_DDE_INITIATE, reinterpret_cast<WPARAM>(stranger.window()),
                      MAKELPARAM(unknown, unknown), SMTO_NORMAL | SMTO_ABORTIFHUNG, INITIATE_MS, &ignored);
  say("malformed: initiate for an unknown service and topic, broadcast; %s", stranger.server() ? "answered" : "no answer");
  RawDdeClient::pump(300);

  DdeValue value;
  client.forgetAcks();
  if (!client.connected() || client.request(item, CF_TEXT, ANSWER_MS, value) != DdeReply::Ok) {
    say("malformed: the conversation no longer answers: %s", client.lastError().c_str());
    return EXIT_NO_ANSWER;
  }
  say("malformed: the same conversation still answers: %s %s", item, value.data.c_str());
  client.terminate(1000);
  return 0;
}

int watch(const char* topic, const char* item, double seconds) {
  RawDdeClient client;
  if (!connect(client, topic)) return EXIT_NO_SERVICE;
  if (client.adviseStart(item, CF_TEXT, ANSWER_MS) != DdeReply::Ok) {
    say("watch: advise refused: %s", client.lastError().c_str());
    return EXIT_NO_ANSWER;
  }
  ULONGLONG start = GetTickCount64(), end = start + static_cast<ULONGLONG>(seconds * 1000), last = start;
  ULONGLONG longest = 0;
  long updates = 0;
  while (GetTickCount64() < end && client.connected()) {
    RawDdeClient::pump(10);
    DdeValue value;
    while (client.takeAdvise(value)) {
      ULONGLONG now = GetTickCount64();
      longest = std::max(longest, now - last);
      last = now;
      ++updates;
    }
  }
  longest = std::max(longest, GetTickCount64() - last);
  say("watch: %ld updates in %.0f s, longest gap %d ms", updates, seconds, static_cast<int>(longest));
  client.terminate(1000);
  return updates > 0 ? 0 : EXIT_NO_ANSWER;
}

int usage() {
  std::fputs("usage: ddefaults noack TOPIC ITEM SECONDS | loops TOPIC N ITEM,ITEM... | churn TOPIC N |\n"
             "                 malformed TOPIC ITEM | watch TOPIC ITEM SECONDS | answers TOPIC\n",
             stderr);
  return EXIT_USAGE;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() == 4 && a[0] == "noack") return noAck(a[1].c_str(), a[2].c_str(), std::atof(a[3].c_str()));
  if (a.size() == 4 && a[0] == "loops" && std::atoi(a[2].c_str()) > 0)
    return loops(a[1].c_str(), std::atoi(a[2].c_str()), splitList(a[3]));
  if (a.size() == 3 && a[0] == "churn" && std::atoi(a[2].c_str()) > 0) return churn(a[1].c_str(), std::atoi(a[2].c_str()));
  if (a.size() == 3 && a[0] == "malformed") return malformed(a[1].c_str(), a[2].c_str());
  if (a.size() == 2 && a[0] == "answers") return answers(a[1].c_str());
  if (a.size() == 4 && a[0] == "watch") return watch(a[1].c_str(), a[2].c_str(), std::atof(a[3].c_str()));
  return usage();
}

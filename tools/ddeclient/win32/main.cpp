// ddeclient for Windows: asks a DDE service for values or follows advise
// loops over raw DDE messages, with the commands and output of the POSIX
// ddeclient. Exit status: 0 done, 1 usage, 2 no such service or the
// conversation lost, 3 a request or advise refused.

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tools/ddeclient/win32/RawDdeClient.h"

#include <shellapi.h>
#include "tools/ddeclient/ClientOptions.h"
#include "tools/ddeclient/XlTable.h"

namespace {

const int EXIT_USAGE = 1;
const int EXIT_NO_SERVICE = 2;
const int EXIT_REFUSED = 3;
const int INITIATE_MS = 3000;
const int ANSWER_MS = 5000;
const int UNADVISE_MS = 1000;
const int POLL_MS = 50;

const char* const USAGE =
    "usage:\n"
    "  ddeclient request TOPIC ITEM [--xltable] [--service NAME]\n"
    "      prints the item's value once\n"
    "  ddeclient advise TOPIC ITEM... [--xltable] [--count N] [--seconds T] [--service NAME]\n"
    "      starts an advise loop on each item and prints \"TOPIC ITEM VALUE\" per update,\n"
    "      until N updates or T seconds (or Ctrl-C)\n"
    "  ddeclient watch TOPIC... --items ITEM,ITEM... [--xltable] [--seconds T] [--service NAME]\n"
    "      requests each item once, then follows them; one \"TOPIC ITEM VALUE\" line each\n"
    "options:\n"
    "  --xltable      ask for XlTable instead of CF_TEXT (numbers and strings are decoded)\n"
    "  --service NAME the DDE service (default TAVRO)\n"
    "  --count N      stop after N updates (advise)\n"
    "  --seconds T    stop after T seconds (T may have decimals)\n"
    "  --items LIST   comma-separated items (watch)\n"
    "exit status: 0 done, 1 usage, 2 no such service or conversation lost,\n"
    "3 request or advise refused\n";

volatile LONG interrupted = 0;

BOOL WINAPI onConsoleEvent(DWORD) {
  InterlockedExchange(&interrupted, 1);
  return TRUE;
}

typedef ClientOptions Options;

int usage(const std::string& why) {
  std::fprintf(stderr, "ddeclient: %s\n%s", why.c_str(), USAGE);
  return EXIT_USAGE;
}

// 0 when the options hold together, -1 after --help, else the exit status.
int parse(int argc, char** argv, Options& o) {
  std::string why;
  if (!parseClientOptions(argc, argv, o, why)) return usage(why);
  if (o.help) {
    std::fputs(USAGE, stdout);
    return -1;
  }
  return 0;
}

UINT xltableFormat() {
  static UINT format = RawDdeClient::registeredFormat("XlTable");
  return format;
}

UINT formatOf(const Options& o) { return o.xltable ? xltableFormat() : CF_TEXT; }

// Registered formats may come back sign-extended: compare their low 16 bits.
std::string show(const DdeValue& v) {
  unsigned format = v.format & 0xFFFFu;
  if (format == (xltableFormat() & 0xFFFFu)) return formatValue(ValueFormat::XlTable, v.data);
  if (format == CF_TEXT) return formatValue(ValueFormat::Text, v.data);
  return formatValue(ValueFormat::Other, v.data, std::to_string(format));
}

void printLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void complain(const std::string& what) { std::fprintf(stderr, "ddeclient: %s\n", what.c_str()); }

int connectTopic(RawDdeClient& client, const Options& o, const std::string& topic) {
  if (client.initiate(o.service.c_str(), topic.c_str(), INITIATE_MS)) return 0;
  complain(client.lastError());
  return EXIT_NO_SERVICE;
}

ULONGLONG deadlineOf(const Options& o) {
  return o.seconds < 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(o.seconds * 1000);
}

bool timeUp(ULONGLONG deadline) { return interrupted || (deadline != 0 && GetTickCount64() >= deadline); }

int runRequest(const Options& o) {
  RawDdeClient client;
  if (int rc = connectTopic(client, o, o.words[0])) return rc;
  DdeValue value;
  DdeReply r = client.request(o.words[1].c_str(), formatOf(o), ANSWER_MS, value);
  if (r != DdeReply::Ok) {
    complain(client.lastError());
    client.terminate(1000);
    return r == DdeReply::Refused ? EXIT_REFUSED : EXIT_NO_SERVICE;
  }
  printLine(show(value));
  client.terminate(1000);
  return 0;
}

int runAdvise(const Options& o) {
  RawDdeClient client;
  const std::string& topic = o.words[0];
  if (int rc = connectTopic(client, o, topic)) return rc;
  std::vector<std::string> items(o.words.begin() + 1, o.words.end());
  for (const std::string& item : items) {
    DdeReply r = client.adviseStart(item.c_str(), formatOf(o), ANSWER_MS);
    if (r != DdeReply::Ok) {
      complain(client.lastError());
      client.terminate(1000);
      return r == DdeReply::Refused ? EXIT_REFUSED : EXIT_NO_SERVICE;
    }
  }
  ULONGLONG deadline = deadlineOf(o);
  long seen = 0;
  while (!timeUp(deadline) && (o.count < 0 || seen < o.count)) {
    DdeValue value;
    if (client.takeAdvise(value)) {
      printLine(topic + " " + value.item + " " + show(value));
      ++seen;
      continue;
    }
    if (!client.connected()) {
      complain("the server ended the conversation");
      return EXIT_NO_SERVICE;
    }
    if (!RawDdeClient::pump(POLL_MS)) break;
  }
  // A server that never answers an unadvise still ends the loops when the conversation ends.
  for (const std::string& item : items)
    if (client.adviseStop(item.c_str(), formatOf(o), UNADVISE_MS) == DdeReply::Failed) complain(client.lastError());
  client.terminate(1000);
  return 0;
}

int runWatch(const Options& o) {
  std::vector<std::unique_ptr<RawDdeClient>> clients;
  for (const std::string& topic : o.words) {
    clients.push_back(std::make_unique<RawDdeClient>());
    RawDdeClient& client = *clients.back();
    if (int rc = connectTopic(client, o, topic)) return rc;
    for (const std::string& item : o.items) {
      DdeValue value;
      DdeReply r = client.request(item.c_str(), formatOf(o), ANSWER_MS, value);
      if (r == DdeReply::Ok) printLine(topic + " " + item + " " + show(value));
      if (r != DdeReply::Failed) r = client.adviseStart(item.c_str(), formatOf(o), ANSWER_MS);
      if (r == DdeReply::Failed) {
        complain(client.lastError());
        return EXIT_NO_SERVICE;
      }
      if (r == DdeReply::Refused) printLine(topic + " " + item + " n/a");
    }
  }
  ULONGLONG deadline = deadlineOf(o);
  while (!timeUp(deadline)) {
    for (std::size_t i = 0; i < clients.size(); ++i) {
      DdeValue value;
      while (clients[i]->takeAdvise(value)) printLine(o.words[i] + " " + value.item + " " + show(value));
      if (!clients[i]->connected()) {
        complain("the server ended the conversation on " + o.words[i]);
        return EXIT_NO_SERVICE;
      }
    }
    if (!RawDdeClient::pump(POLL_MS)) break;
  }
  for (auto& client : clients) client->terminate(1000);
  return 0;
}

// The arguments in UTF-8 whatever the ANSI code page, which would turn a
// topic's characters outside it into "?".
std::vector<std::string> utf8Arguments() {
  int n = 0;
  LPWSTR* wideArgs = CommandLineToArgvW(GetCommandLineW(), &n);
  std::vector<std::string> args;
  for (int i = 0; wideArgs && i < n; ++i) {
    int size = WideCharToMultiByte(CP_UTF8, 0, wideArgs[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(size > 1 ? static_cast<std::size_t>(size) : 1, '\0');
    if (size > 1) WideCharToMultiByte(CP_UTF8, 0, wideArgs[i], -1, &arg[0], size, nullptr, nullptr);
    arg.resize(arg.size() - 1);
    args.push_back(arg);
  }
  if (wideArgs) LocalFree(wideArgs);
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args = utf8Arguments();
  std::vector<char*> utf8Argv;
  for (std::string& arg : args) utf8Argv.push_back(&arg[0]);
  utf8Argv.push_back(nullptr);
  if (!args.empty()) {
    argc = static_cast<int>(args.size());
    argv = utf8Argv.data();
  }
  Options o;
  int rc = parse(argc, argv, o);
  if (rc < 0) return 0;
  if (rc) return rc;
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
  if (o.command == "request") return runRequest(o);
  if (o.command == "advise") return runAdvise(o);
  return runWatch(o);
}

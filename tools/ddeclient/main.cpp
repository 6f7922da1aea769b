// ddeclient: asks a DDE service for values, follows advise loops, or shows a
// live table of them. Exit status: 0 done, 1 usage, 2 no such service or the
// connection refused or lost, 3 a request or advise refused.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "support/Log.h"
#include "tools/ddeclient/DdeClient.h"
#include "tools/ddeclient/WatchTable.h"
#include "tools/ddeclient/ClientOptions.h"
#include "tools/ddeclient/XlTable.h"

namespace {

const int EXIT_USAGE = 1;
const int EXIT_NO_SERVICE = 2;
const int EXIT_REFUSED = 3;
const int REDRAW_MS = 100;

const char* const USAGE =
    "usage:\n"
    "  ddeclient request TOPIC ITEM [--xltable] [--service NAME]\n"
    "      prints the item's value once\n"
    "  ddeclient advise TOPIC ITEM... [--xltable] [--count N] [--seconds T] [--service NAME]\n"
    "      starts an advise loop on each item and prints \"TOPIC ITEM VALUE\" per update,\n"
    "      until N updates or T seconds (or Ctrl-C)\n"
    "  ddeclient watch TOPIC... --items ITEM,ITEM... [--xltable] [--seconds T] [--service NAME]\n"
    "      a live table, one row per topic and one column per item, until T seconds or\n"
    "      Ctrl-C; plain lines as for advise when standard output is not a terminal\n"
    "options:\n"
    "  --xltable      ask for XlTable instead of CF_TEXT (numbers and strings are decoded)\n"
    "  --service NAME the DDE service (default TAVRO)\n"
    "  --count N      stop after N updates (advise)\n"
    "  --seconds T    stop after T seconds (T may have decimals)\n"
    "  --items LIST   comma-separated items (watch)\n"
    "The service's socket is looked up in $TAVRO_DDE_DIR, else $XDG_RUNTIME_DIR/tavrodde,\n"
    "else /tmp/tavrodde-<uid>.\n"
    "exit status: 0 done, 1 usage, 2 no such service or connection refused or lost,\n"
    "3 request or advise refused\n";

volatile sig_atomic_t interrupted = 0;

void onSignal(int) { interrupted = 1; }

std::int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

typedef ClientOptions Options;

int usage(const std::string& why) {
  std::cerr << "ddeclient: " << why << "\n" << USAGE;
  return EXIT_USAGE;
}

// 0 when the options hold together, -1 after --help, else the exit status.
int parse(int argc, char** argv, Options& o) {
  std::string why;
  if (!parseClientOptions(argc, argv, o, why)) return usage(why);
  if (o.help) {
    std::cout << USAGE;
    return -1;
  }
  return 0;
}

DdeBridgeFormat formatOf(const Options& o) {
  return o.xltable ? DdeBridgeFormat::registered("XlTable") : DdeBridgeFormat::standard(1);
}

int openService(DdeClient& client, const Options& o) {
  if (client.open(o.service)) return 0;
  std::cerr << "ddeclient: " << client.lastError() << "\n";
  return EXIT_NO_SERVICE;
}

int connectTopic(DdeClient& client, const Options& o, const std::string& topic, std::uint32_t& conv) {
  DdeReply r = client.connect(o.service, topic, conv);
  if (r == DdeReply::Ok) return 0;
  if (r == DdeReply::Refused)
    std::cerr << "ddeclient: connection to " << o.service << "|" << topic << " refused\n";
  else
    std::cerr << "ddeclient: " << client.lastError() << "\n";
  return EXIT_NO_SERVICE;
}

int runRequest(const Options& o) {
  DdeClient client;
  std::uint32_t conv = 0;
  if (int rc = openService(client, o)) return rc;
  if (int rc = connectTopic(client, o, o.words[0], conv)) return rc;
  DdeBridgeFormat dataFormat;
  std::string data;
  DdeReply r = client.request(conv, o.words[1], formatOf(o), dataFormat, data);
  if (r == DdeReply::Failed) {
    std::cerr << "ddeclient: " << client.lastError() << "\n";
    return EXIT_NO_SERVICE;
  }
  if (r == DdeReply::Refused) {
    std::cerr << "ddeclient: request for " << o.words[0] << " " << o.words[1] << " refused\n";
    return EXIT_REFUSED;
  }
  std::cout << formatValue(dataFormat, data) << std::endl;
  client.terminate(conv);
  return 0;
}

std::int64_t deadlineOf(const Options& o) {
  return o.seconds < 0 ? -1 : nowMs() + static_cast<std::int64_t>(o.seconds * 1000);
}

bool timeUp(std::int64_t deadline) { return interrupted || (deadline >= 0 && nowMs() >= deadline); }

int runAdvise(const Options& o) {
  DdeClient client;
  std::uint32_t conv = 0;
  if (int rc = openService(client, o)) return rc;
  const std::string& topic = o.words[0];
  if (int rc = connectTopic(client, o, topic, conv)) return rc;
  std::vector<std::string> items(o.words.begin() + 1, o.words.end());
  for (const std::string& item : items) {
    DdeReply r = client.adviseStart(conv, item, formatOf(o));
    if (r == DdeReply::Failed) {
      std::cerr << "ddeclient: " << client.lastError() << "\n";
      return EXIT_NO_SERVICE;
    }
    if (r == DdeReply::Refused) {
      std::cerr << "ddeclient: advise on " << topic << " " << item << " refused\n";
      return EXIT_REFUSED;
    }
  }
  std::int64_t deadline = deadlineOf(o);
  long seen = 0;
  while (!timeUp(deadline) && (o.count < 0 || seen < o.count)) {
    DdeAdvise a;
    if (client.nextAdvise(a, REDRAW_MS)) {
      if (a.conv != conv) continue;
      std::cout << topic << " " << a.item << " " << formatValue(a.dataFormat, a.data) << std::endl;
      ++seen;
      continue;
    }
    if (!client.isOpen() || client.terminated(conv)) {
      std::cerr << "ddeclient: " << (client.isOpen() ? "the server ended the conversation" : client.lastError())
                << "\n";
      return EXIT_NO_SERVICE;
    }
  }
  for (const std::string& item : items) client.adviseStop(conv, item, formatOf(o));
  client.terminate(conv);
  return 0;
}

int runWatch(const Options& o) {
  DdeClient client;
  if (int rc = openService(client, o)) return rc;
  std::vector<std::uint32_t> convs;
  WatchTable table(o.words, o.items);
  for (const std::string& topic : o.words) {
    std::uint32_t conv = 0;
    if (int rc = connectTopic(client, o, topic, conv)) return rc;
    convs.push_back(conv);
    for (const std::string& item : o.items) {
      DdeBridgeFormat dataFormat;
      std::string data;
      DdeReply r = client.request(conv, item, formatOf(o), dataFormat, data);
      if (r == DdeReply::Ok) table.set(convs.size() - 1, item, formatValue(dataFormat, data));
      if (r != DdeReply::Failed) r = client.adviseStart(conv, item, formatOf(o));
      if (r == DdeReply::Failed) {
        std::cerr << "ddeclient: " << client.lastError() << "\n";
        return EXIT_NO_SERVICE;
      }
      if (r == DdeReply::Refused) table.set(convs.size() - 1, item, "n/a");
    }
  }
  const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  if (terminal) std::cout << table.render() << std::flush;
  std::int64_t deadline = deadlineOf(o), lastDraw = nowMs();
  int rc = 0;
  while (!timeUp(deadline)) {
    DdeAdvise a;
    if (client.nextAdvise(a, REDRAW_MS)) {
      for (std::size_t i = 0; i < convs.size(); ++i) {
        if (convs[i] != a.conv) continue;
        std::string value = formatValue(a.dataFormat, a.data);
        table.set(i, a.item, value);
        if (!terminal) std::cout << o.words[i] << " " << a.item << " " << value << std::endl;
      }
    } else if (!client.isOpen()) {
      rc = EXIT_NO_SERVICE;
      break;
    }
    if (terminal && table.dirty() && nowMs() - lastDraw >= REDRAW_MS) {
      std::cout << table.render() << std::flush;
      lastDraw = nowMs();
    }
  }
  if (terminal && table.dirty()) std::cout << table.render() << std::flush;
  if (rc) {
    std::cerr << "ddeclient: " << client.lastError() << "\n";
    return rc;
  }
  for (std::uint32_t conv : convs) client.terminate(conv);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  setLogStreams(&std::cerr);
  setLogLevel(2);
  Options o;
  int rc = parse(argc, argv, o);
  if (rc < 0) return 0;
  if (rc) return rc;
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  if (o.command == "request") return runRequest(o);
  if (o.command == "advise") return runAdvise(o);
  return runWatch(o);
}

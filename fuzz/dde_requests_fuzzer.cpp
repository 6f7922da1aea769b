// A spreadsheet's transactions against the running server, over the local
// DDE socket: connects, requests, advise starts and stops, pokes, executes
// and terminates on topics and items from the input, with feed images,
// symbol records and refusals of the instruments in between. Every
// transaction must be answered, every value must be whole in its format, and
// once the client has gone no conversation of it may be left anywhere.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "dde/Conversation.h"
#include "dde/DDEInterface.h"
#include "dde/Stock.h"
#include "feed/Market.h"
#include "feed/QelUpdate.h"
#include "feed/StdFID.h"
#include "feed/TradeCodes.h"
#include "platform/EventLoop.h"
#include "support/Log.h"
#include "tools/ddeclient/DdeClient.h"
#include "tools/ddeclient/XlTable.h"

namespace {

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
  bool done() const { return m_pos >= m_size; }
  unsigned byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
  std::string bytes(std::size_t n) {
    if (n > m_size - m_pos) n = m_size - m_pos;
    std::string s(reinterpret_cast<const char*>(m_data + m_pos), n);
    m_pos += n;
    return s;
  }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_pos = 0;
};

const char* const TOPICS[] = {"lse_vod", "LSE_BARC", "nasdaq_msft", "lse_", "_vod", "xyz_abc", "System", "lse_vod_x"};

// The field names, as the server knows them; fidMap is filled once and never changes.
const std::vector<const char*>& itemNames() {
  static std::vector<const char*> names;
  if (names.empty())
    for (const auto& entry : fidMap) names.push_back(entry.first.c_str());
  return names;
}

// Mostly known names, in any letter case; sometimes raw bytes.
std::string name(Input& in, const char* const* known, std::size_t count) {
  unsigned pick = in.byte();
  if (pick < 0xE0) {
    std::string s = known[pick % count];
    unsigned flips = in.byte();
    for (std::size_t i = 0; i < s.size() && i < 8; ++i)
      if (flips & (1u << i)) s[i] = static_cast<char>(s[i] ^ 0x20);
    return s;
  }
  return in.bytes(in.byte());
}

std::string topicName(Input& in) { return name(in, TOPICS, sizeof TOPICS / sizeof TOPICS[0]); }

std::string itemName(Input& in) {
  return name(in, itemNames().data(), itemNames().size());
}

DdeBridgeFormat format(Input& in) {
  switch (in.byte() % 4) {
    case 0: return DdeBridgeFormat::standard(CF_TEXT);
    case 1: return DdeBridgeFormat::registered("XlTable");
    case 2: return DdeBridgeFormat::registered("xltable");
    default: return DdeBridgeFormat::standard(in.byte());
  }
}

void checkValue(const DdeBridgeFormat& format, const std::string& data) {
  if (format.code == CF_TEXT && format.name.empty()) {
    if (data.empty() || data.back() != '\0') std::abort();
  } else if (!format.name.empty()) {
    XlTable table;
    std::string error;
    if (!decodeXlTable(data, table, error)) std::abort();
  }
}

// An image or update of one cached instrument: fields from the input.
void feedImage(Input& in) {
  if (stocks.empty()) return;
  auto it = stocks.begin();
  std::advance(it, in.byte() % stocks.size());
  char buffer[2048];
  QelUpdate writer;
  writer.setWorkingBuffer(buffer, sizeof buffer);
  bool symbolRecord = in.byte() & 1;
  unsigned rows = 1 + in.byte() % 3;
  for (unsigned r = 0; r < rows; ++r) {
    if (r == 0) writer.selectRow(0);
    else writer.addRow();
    unsigned fields = in.byte() % 6;
    for (unsigned f = 0; f < fields; ++f) {
      int fid = static_cast<int>(in.byte() % NUM_FIDS);
      std::string text = in.bytes(in.byte() % 40);
      QelField* field = QelField::create(static_cast<QelFID>(fid), text.data(), static_cast<std::uint32_t>(text.size()));
      if (!field) continue;
      writer.setField(field);
      QelField::release(field);
    }
  }
  QelUpdate reader;
  reader.setBuffer(buffer, writer.getDataLength());
  if (symbolRecord) it->second.symbolImage(&reader);
  else it->second.image(&reader);
}

struct Server {
  EventLoop loop;
  std::string dir;
  Server() {
    static std::ostream discard(nullptr);
    setLogStreams(&discard);
    setLogLevel(0);
    char tmpl[] = "/tmp/tavro-fuzz-XXXXXX";
    if (!mkdtemp(tmpl)) std::abort();
    dir = tmpl;
    setenv("TAVRO_DDE_DIR", dir.c_str(), 1);
    InitializeFIDs();
    initTradeCodes();
    addMarket("LSE", "LSE", 'R', 0);
    addMarket("NQ", "NASDAQ", 'D', 1);
    openDDE();
    if (!ddeInstance) std::abort();
  }
  ~Server() {
    closeDDE();
    ::rmdir(dir.c_str());
  }
  // Topics come from the input, and Stocks are never removed: start afresh now and then.
  void trim() {
    if (stocks.size() < 2000) return;
    closeDDE();
    stocks.clear();
    openDDE();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Server server;
  if (size > 4096) return 0;
  server.trim();
  Input in(data, size);
  DdeClient client;
  client.setIdle([] { server.loop.runOnce(1); });
  client.setTimeoutMs(2000);
  if (!client.open("TAVRO")) std::abort();
  std::vector<std::uint32_t> convs;
  auto conv = [&]() -> std::uint32_t {
    unsigned pick = in.byte();
    if (convs.empty() || pick == 0xFF) return pick;  // sometimes one it does not hold
    return convs[pick % convs.size()];
  };
  // Refusals are answers; only a missing answer is a fault of the server.
  // Names the bridge cannot carry (not UTF-8, a NUL) never leave the client.
  auto answered = [&](DdeReply r) {
    if (r == DdeReply::Failed && client.lastError() != "message too large") std::abort();
  };

  for (int step = 0; step < 64 && !in.done(); ++step) {
    switch (in.byte() % 12) {
      case 0: {
        std::string topic = topicName(in);
        if (topic.empty() || convs.size() >= 16) break;
        std::uint32_t id = 0;
        DdeReply r = client.connect("TAVRO", topic, id);
        answered(r);
        if (r == DdeReply::Ok) convs.push_back(id);
        break;
      }
      case 1: {
        std::vector<DdeBridgePair> pairs;
        std::string topic = in.byte() & 1 ? std::string("System") : topicName(in);
        answered(client.wildConnect(in.byte() & 1 ? "" : "TAVRO", topic, pairs));
        for (const DdeBridgePair& p : pairs) convs.push_back(p.conv);
        break;
      }
      case 2:
      case 3: {
        std::uint32_t id = conv();
        std::string item = itemName(in);
        DdeBridgeFormat f = format(in), dataFormat;
        std::string value;
        DdeReply r = client.request(id, item, f, dataFormat, value);
        answered(r);
        if (r == DdeReply::Ok) checkValue(dataFormat, value);
        break;
      }
      case 4:
      case 5: {
        std::uint32_t id = conv();
        std::string item = itemName(in);
        answered(client.adviseStart(id, item, format(in)));
        break;
      }
      case 6: {
        std::uint32_t id = conv();
        std::string item = itemName(in);
        answered(client.adviseStop(id, item, format(in)));
        break;
      }
      case 7: {
        std::uint32_t id = conv();
        std::string item = itemName(in);
        DdeBridgeFormat f = format(in);
        answered(in.byte() & 1 ? client.poke(id, item, f, in.bytes(in.byte())) : client.execute(id, in.bytes(in.byte())));
        break;
      }
      case 8: {
        std::uint32_t id = conv();
        client.terminate(id);
        break;
      }
      case 9:
      case 10:
        feedImage(in);
        break;
      default:
        if (!stocks.empty()) {
          auto it = stocks.begin();
          std::advance(it, in.byte() % stocks.size());
          it->second.error();
        }
        break;
    }
    server.loop.runOnce(0);
    client.pump(0);
    DdeAdvise advise;
    while (client.advisesQueued() > 0 && client.nextAdvise(advise, 0)) checkValue(advise.dataFormat, advise.data);
    if (!client.isOpen()) std::abort();  // the server never drops a client that behaves
  }

  client.close();
  for (int i = 0; i < 100 && !conversationMap.empty(); ++i) server.loop.runOnce(1);
  if (!conversationMap.empty()) std::abort();
  for (const auto& entry : stocks)
    if (!entry.second.conversations.empty() || !entry.second.requests.empty()) std::abort();
  return 0;
}

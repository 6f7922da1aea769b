#include "dde/DdeRequests.h"

#include <string>

#include "dde/Conversation.h"
#include "dde/DDEInterface.h"
#include "dde/DdeFormats.h"
#include "dde/Stock.h"
#include "feed/Market.h"
#include "feed/StdFID.h"
#include "platform/EventLoop.h"
#include "support/Log.h"

namespace {
const void* ptr(HCONV hconv) { return static_cast<const void*>(hconv); }

// A loop started on an instrument the feed has already refused would wait
// forever for its "ERROR": the refusal was posted before the loop existed.
// The loop only exists once the advise start returns, so the notice goes out
// on the next turn of the event loop, to the conversation if it is still there.
void sendErrorLater(HCONV hconv) {
  EventLoop* loop = EventLoop::current();
  if (!loop) return;
  loop->post([hconv] {
    Conversation* conversation = findConversation(hconv);
    if (conversation && conversation->stock->invalid) conversation->stock->serveNewLoops();
  });
}
}  // namespace

HDDEDATA request(HCONV hconv, const char* topic, const char* item, UINT format) {
  int fid = GetFID(item);
  if (!isServedFormat(format)) {
    LOG_ERR("request - wrong format " << format);
    return nullptr;
  }
  if (fid == 0) {
    LOG_ERR("Unknown FID - " << topic << " " << item);
    return nullptr;
  }
  std::string symbol = makeSymbol(makeRID(topic).c_str());
  if (symbol.empty()) return nullptr;
  Stock* stock = getStock(symbol.c_str());
  if (!stock) {
    LOG_INF("request - new stock " << symbol);
    stock = findOrCreateStock(symbol);
  }
  if (stock->invalid) {
    LOG_ERR("invalid symbol " << symbol << "[" << fid << "]");
    return nullptr;
  }
  if (stock->isOpen() || stock->isRecent()) {
    auto it = stock->values.find(fid);
    if (it == stock->values.end() || it->second.empty()) {
      LOG_INF("no data.. " << symbol);
      return getHandle(stock, "0", format, fid);
    }
    return getHandle(stock, it->second.c_str(), format, fid);
  }
  LOG_INF("Snapshotting");
  stock->requests.insert(hconv);
  stock->snapshot();
  return getHandle(stock, " ", format, fid);
}

BOOL adviseStart(HCONV hconv, const char* topic, const char* item, UINT format) {
  Conversation* conversation = findConversation(hconv);
  if (!conversation) {
    // Refuse the loop; one confused client must not end the service for all.
    LOG_ERR("Can't find " << ptr(hconv));
    return FALSE;
  }
  int fid = GetFID(item);
  if (!isServedFormat(format)) return FALSE;
  if (fid == 0) {
    LOG_ERR("Unknown FID - " << topic << " " << item);
    return FALSE;
  }
  if (!conversation->open(fid, format)) return FALSE;
  if (conversation->stock && conversation->stock->invalid) sendErrorLater(hconv);
  return TRUE;
}

HDDEDATA adviseRequest(HCONV hconv, const char* topic, const char* item, HSZ itemHandle, UINT format) {
  int fid = GetFID(item);
  if (!isServedFormat(format)) return nullptr;
  Conversation* conversation = findConversation(hconv);
  if (fid != 0 && !conversation) LOG_ERR("advise data for unknown conversation " << ptr(hconv) << " (" << topic << ")");
  return loopData(conversation, fid, itemHandle, format);
}

HDDEDATA loopData(Conversation* conversation, int fid, HSZ itemHandle, UINT format) {
  if (!isServedFormat(format)) return nullptr;
  Stock* stock = conversation ? conversation->stock : nullptr;
  Conversation::Loop* loop = conversation ? conversation->findLoop(fid, format) : nullptr;
  if (loop && loop->served && !adviseNews(stock, fid, format)) return nullptr;
  if (loop) loop->served = true;
  return adviseData(stock, fid, itemHandle, format);
}

HDDEDATA adviseData(Stock* stock, int fid, HSZ itemHandle, UINT format) {
  if (!isServedFormat(format)) return nullptr;
  if (fid == 0 || !stock || stock->invalid) return errorData(itemHandle);
  auto it = stock->values.find(fid);
  if (it == stock->values.end()) return errorData(itemHandle);
  return getHandle(stock, it->second.c_str(), format, fid);
}

HDDEDATA adviseStop(HCONV hconv, const char*, const char* item, UINT format) {
  if (Conversation* conversation = findConversation(hconv)) conversation->close(GetFID(item), format);
  return nullptr;
}

HDDEDATA errorData(HSZ itemHandle) {
  static const BYTE text[] = "ERROR";
  return DdeCreateDataHandle(ddeInstance, text, sizeof text, 0, itemHandle, CF_TEXT, 0);
}

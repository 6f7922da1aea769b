#include "dde/Conversation.h"

#include <vector>

#include "dde/DDEInterface.h"
#include "dde/Stock.h"
#include "feed/Market.h"
#include "support/Log.h"

Conversation::Conversation(const char* topic, HCONV handle_)
    : symbol(makeSymbol(makeRID(topic).c_str())), stock(nullptr), added(false), handle(handle_) {
  stock = findOrCreateStock(symbol);
  stock->addConversation(this);
  added = true;
}

Conversation::~Conversation() {
  if (!stock) return;
  // A snapshot it was waiting for must not later enable a handle that is gone.
  stock->requests.erase(handle);
  if (added) stock->removeConversation(this);
}

bool Conversation::open(int fid) {
  if (subscriptions.count(fid)) return true;
  if (!added) {
    stock->addConversation(this);
    added = true;
  }
  subscriptions.insert(fid);
  return true;
}

void Conversation::close(int fid) {
  subscriptions.erase(fid);
  if (subscriptions.empty()) {
    stock->removeConversation(this);
    added = false;
  }
}

void Conversation::error() {
  LOG_DBG("Conversation::error " << symbol);
  // Each post is served at once through XTYP_ADVREQ; walk a copy.
  std::vector<int> fids(subscriptions.begin(), subscriptions.end());
  for (int fid : fids) {
    auto it = stocks.find(symbol);
    if (it != stocks.end() && ddeInstance && fid >= 0 && fid < NUM_FID_ITEMS)
      DdePostAdvise(ddeInstance, it->second.topic, fidItems[fid]);
  }
  subscriptions.clear();
}

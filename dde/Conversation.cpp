#include "dde/Conversation.h"

#include <algorithm>

#include "dde/DDEInterface.h"
#include "dde/Stock.h"
#include "feed/Market.h"
#include "support/Log.h"

namespace {
// Registered formats may reach the callback sign-extended; the low 16 bits name them.
std::uint32_t loopKey(int fid, UINT format) {
  return (static_cast<std::uint32_t>(fid) << 16) | (static_cast<std::uint32_t>(format) & 0xFFFFu);
}
}  // namespace

Conversation::Conversation(const char* text, HCONV handle_, HSZ topicHandle)
    : symbol(makeSymbol(makeRID(text).c_str())), stock(nullptr), added(false), handle(handle_), topic(nullptr) {
  // The client's own handle: one made again from the text would name another
  // topic wherever the text lost a character the client's name has.
  if (ddeInstance && topicHandle) {
    if (DdeKeepStringHandle(ddeInstance, topicHandle))
      topic = topicHandle;
    else
      LOG_ERR("cannot keep the topic handle of conversation " << static_cast<const void*>(handle) << " (" << text
                                                              << "); its loops get no data");
  }
  stock = findOrCreateStock(symbol);
  stock->addConversation(this);
  added = true;
}

Conversation::~Conversation() {
  if (stock) {
    // A snapshot it was waiting for must not later enable a handle that is gone.
    stock->requests.erase(handle);
    if (added) stock->removeConversation(this);
  }
  if (topic && ddeInstance) DdeFreeStringHandle(ddeInstance, topic);
}

bool Conversation::open(int fid, UINT format) {
  std::uint32_t key = loopKey(fid, format);
  auto at = std::lower_bound(subscriptions.begin(), subscriptions.end(), key);
  if (at != subscriptions.end() && *at == key) return true;
  if (!added) {
    stock->addConversation(this);
    added = true;
  }
  subscriptions.insert(at, key);
  return true;
}

void Conversation::close(int fid, UINT format) {
  std::uint32_t key = loopKey(fid, format);
  auto at = std::lower_bound(subscriptions.begin(), subscriptions.end(), key);
  if (at != subscriptions.end() && *at == key) subscriptions.erase(at);
  if (subscriptions.empty()) {
    stock->removeConversation(this);
    added = false;
  }
}

std::vector<int> Conversation::subscribedFields() const {
  std::vector<int> fids;
  for (std::uint32_t key : subscriptions)
    if (fids.empty() || fids.back() != fieldOf(key)) fids.push_back(fieldOf(key));
  return fids;
}

void Conversation::error() {
  LOG_DBG("Conversation::error " << symbol);
  // Each post is served at once through XTYP_ADVREQ, which may end loops; walk a copy.
  std::vector<int> fids = subscribedFields();
  for (int fid : fids)
    if (ddeInstance && topic && fid >= 0 && fid < NUM_FIDS) DdePostAdvise(ddeInstance, topic, fidItems[fid]);
  subscriptions.clear();
}

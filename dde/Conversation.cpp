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
    : symbol(makeSymbol(makeRID(text).c_str())), stock(nullptr), added(false), handle(handle_), topic(nullptr),
      slot(static_cast<std::size_t>(-1)) {
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

namespace {
std::vector<Conversation::Loop>::iterator lowerBound(std::vector<Conversation::Loop>& loops, std::uint32_t key) {
  return std::lower_bound(loops.begin(), loops.end(), key,
                          [](const Conversation::Loop& loop, std::uint32_t k) { return loop.key < k; });
}
}  // namespace

bool Conversation::open(int fid, UINT format) {
  std::uint32_t key = loopKey(fid, format);
  auto at = lowerBound(subscriptions, key);
  if (at != subscriptions.end() && at->key == key) return true;
  if (!added) {
    stock->addConversation(this);
    added = true;
  }
  subscriptions.insert(at, Loop{key, false});
  return true;
}

void Conversation::close(int fid, UINT format) {
  std::uint32_t key = loopKey(fid, format);
  auto at = lowerBound(subscriptions, key);
  if (at != subscriptions.end() && at->key == key) subscriptions.erase(at);
  if (subscriptions.empty()) {
    stock->removeConversation(this);
    added = false;
  }
}

Conversation::Loop* Conversation::findLoop(int fid, UINT format) {
  std::uint32_t key = loopKey(fid, format);
  auto at = lowerBound(subscriptions, key);
  return at != subscriptions.end() && at->key == key ? &*at : nullptr;
}

void Conversation::error() {
  LOG_DBG("Conversation::error " << symbol);
  subscriptions.clear();
}

#pragma once
// One DDE conversation a client holds on one instrument topic: it links the
// conversation to its Stock, records the fields with advise loops, and keeps
// the Stock's feed record open while the client is interested. Owned by
// `conversationMap`; created on connect-confirm, deleted on disconnect.

#include <set>
#include <string>

#include "platform/ddeml.h"

class Stock;

class Conversation {
 public:
  Conversation(const char* topic, HCONV handle);
  virtual ~Conversation();
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;

  bool open(int fid);
  void close(int fid);
  void error();

  std::string symbol;
  Stock* stock;
  bool added;
  std::set<int> subscriptions;
  HCONV handle;
};

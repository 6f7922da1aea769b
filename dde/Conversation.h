#pragma once
// One DDE conversation a client holds on one instrument topic: it links the
// conversation to its Stock, records the client's advise loops, and keeps the
// Stock's feed record open while the client is interested. Owned by
// `conversationMap`; created on connect-confirm, deleted on disconnect.
//
// A loop is a field in one format: a client may watch BID as text and as
// XlTable on one conversation, and stopping one leaves the other running.
// The conversation keeps the client's own topic handle, since the client may
// have spelt the topic differently from the Stock's canonical symbol; advise
// notifications go out under the handles clients used.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ddeml.h"

class Stock;

class Conversation {
 public:
  // `topicHandle` is the one the client connected with; the conversation
  // keeps it (DdeKeepStringHandle) and posts its advise data under it.
  Conversation(const char* topic, HCONV handle, HSZ topicHandle);
  virtual ~Conversation();
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;

  bool open(int fid, UINT format);
  void close(int fid, UINT format);
  void error();

  // The fields with at least one loop, each once, ascending.
  std::vector<int> subscribedFields() const;
  static int fieldOf(std::uint32_t loop) { return static_cast<int>(loop >> 16); }

  std::string symbol;
  Stock* stock;
  bool added;
  // Loops as (fid << 16 | format's low 16 bits), sorted: four bytes a loop.
  std::vector<std::uint32_t> subscriptions;
  HCONV handle;
  // The client's topic handle, held for the conversation's life.
  HSZ topic;
};

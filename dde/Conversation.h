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

#include <cstddef>
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

  // One advise loop: a field in one format.
  struct Loop {
    std::uint32_t key;  // fid << 16 | the format's low 16 bits
    // Whether it has had data since it started: until then every notification
    // of its Stock sends it the value, after that only a changed one.
    bool served;
    int fid() const { return static_cast<int>(key >> 16); }
    UINT format() const { return key & 0xFFFFu; }
  };

  bool open(int fid, UINT format);
  void close(int fid, UINT format);
  // The instrument has been refused: its loops have had their "ERROR" and
  // are forgotten.
  void error();
  // The loop on `fid` in `format`, or null.
  Loop* findLoop(int fid, UINT format);

  std::string symbol;
  Stock* stock;
  bool added;
  // Sorted by key: eight bytes a loop.
  std::vector<Loop> subscriptions;
  HCONV handle;
  // The client's topic handle, held for the conversation's life.
  HSZ topic;
  // Its place in its Stock's `conversations` while registered there.
  std::size_t slot;
};

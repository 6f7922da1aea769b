#pragma once
// One spreadsheet's RTD topics: each topic id names an instrument and a field
// as a DDE client does (topic lse_vod, item BID) and watches its Stock, which
// stays open while any topic or conversation watches it. A topic's value is
// the XlTable cell an advise loop on the same topic and item would carry,
// decoded into a number or a string. Changes are gathered as they come: the
// first change after a refresh tells the door once, and the next refresh
// returns each topic whose cell changed since its last delivery. Owned by
// the RTD door, one per spreadsheet; all on the one thread, no I/O.

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dde/FieldValues.h"
#include "platform/RtdServer.h"

class Stock;

class RtdTopics : public RtdSession {
 public:
  explicit RtdTopics(RtdUpdateListener* listener);
  ~RtdTopics() override;
  RtdTopics(const RtdTopics&) = delete;
  RtdTopics& operator=(const RtdTopics&) = delete;

  RtdValue connect(long topicId, const std::vector<std::string>& strings) override;
  void disconnect(long topicId) override;
  std::vector<std::pair<long, RtdValue>> refresh() override;
  void terminate() override;

  std::size_t size() const { return m_topics.size(); }

  // Topics are resolved through the market table, which sign-in fills:
  // until then they show the placeholder, and they resolve when it is known.
  static void setMarketsKnown(bool known);
  // Marks the topics watching `stock` whose value may have moved.
  void stockChanged(Stock& stock);

 private:
  struct Topic {
    std::string topic;
    int fid = 0;
    Stock* stock = nullptr;
    bool resolved = false;
    // For good: a bad name, an unresolvable topic or an instrument the feed refused.
    bool error = false;
    // The value text the cell is rendered from.
    FieldText text;
    RtdValue delivered;
    bool pending = false;
  };

  void resolve(long topicId, Topic& topic);
  void markChanged(long topicId, Topic& topic);
  void unwatch(long topicId, Topic& topic);
  void tellListener();
  static RtdValue cellOf(const Topic& topic);

  RtdUpdateListener* m_listener;
  std::unordered_map<long, Topic> m_topics;
  std::unordered_map<const Stock*, std::vector<long>> m_byStock;
  std::vector<long> m_changed;
  bool m_notified = false;
};

class RtdTopicsFactory : public RtdSessionFactory {
 public:
  RtdSession* newRtdSession(RtdUpdateListener* listener) override { return new RtdTopics(listener); }
};

#include "dde/RtdTopics.h"

#include <algorithm>
#include <cstring>

#include "dde/DdeFormats.h"
#include "dde/Stock.h"
#include "feed/Market.h"
#include "feed/StdFID.h"
#include "support/Log.h"
#include "support/TavroUtil.h"

namespace {

bool marketsKnown = false;
// Every live session, for the one Stock listener and for sign-in.
std::vector<RtdTopics*> sessions;

class StockChanges : public StockListener {
 public:
  void stockChanged(Stock& stock) override {
    // A listener may end a session; walk a copy.
    std::vector<RtdTopics*> live = sessions;
    for (RtdTopics* session : live)
      if (std::find(sessions.begin(), sessions.end(), session) != sessions.end()) session->stockChanged(stock);
  }
};
StockChanges stockChanges;

const char* const PLACEHOLDER = " ";

// The cell of a rendered XlTable table of one cell.
RtdValue decodeCell(const std::string& bytes) {
  if (bytes.size() >= 20 && bytes[8] == 0x01) {
    double number;
    std::memcpy(&number, bytes.data() + 12, sizeof number);
    return RtdValue::ofNumber(number);
  }
  if (bytes.size() >= 14 && bytes[8] == 0x02) {
    std::size_t length = static_cast<unsigned char>(bytes[12]);
    if (13 + length <= bytes.size()) return RtdValue::ofText(bytes.substr(13, length));
  }
  return RtdValue::ofText("ERROR");
}

}  // namespace

RtdTopics::RtdTopics(RtdUpdateListener* listener) : m_listener(listener) {
  sessions.push_back(this);
  registerHandleStockChange(&stockChanges);
}

RtdTopics::~RtdTopics() {
  terminate();
  sessions.erase(std::remove(sessions.begin(), sessions.end(), this), sessions.end());
}

void RtdTopics::setMarketsKnown(bool known) {
  marketsKnown = known;
  if (!known) return;
  std::vector<RtdTopics*> live = sessions;
  for (RtdTopics* session : live) {
    for (auto& entry : session->m_topics) {
      if (entry.second.resolved) continue;
      session->resolve(entry.first, entry.second);
      session->markChanged(entry.first, entry.second);
    }
    session->tellListener();
  }
}

RtdValue RtdTopics::connect(long topicId, const std::vector<std::string>& strings) {
  disconnect(topicId);  // an id the spreadsheet reuses names a new topic
  Topic& topic = m_topics[topicId];
  topic.text = PLACEHOLDER;
  if (strings.size() != 2) {
    LOG_ERR("RTD topic " << topicId << ": " << strings.size() << " strings, wanted a topic and an item");
    topic.error = topic.resolved = true;
  } else if (strings[0].size() > MAX_NAME_LENGTH || strings[1].size() > MAX_NAME_LENGTH) {
    LOG_ERR("RTD topic " << topicId << ": a name longer than " << MAX_NAME_LENGTH << " characters");
    topic.error = topic.resolved = true;
  } else {
    char item[MAX_NAME_LENGTH + 1];
    TavroUtil::Strcpy(item, strings[1].c_str(), sizeof item);
    TavroUtil::StrToUpper(item);
    topic.fid = GetFID(item);
    topic.topic = strings[0];
    if (topic.fid == 0) {
      LOG_ERR("Unknown FID - " << strings[0] << " " << strings[1]);
      topic.error = topic.resolved = true;
    } else if (marketsKnown) {
      resolve(topicId, topic);
    }
  }
  topic.delivered = cellOf(topic);
  return topic.delivered;
}

// The topic as a request would answer it now: the value, "0" for a field the
// open instrument lacks, the placeholder while no data is on hand.
void RtdTopics::resolve(long topicId, Topic& topic) {
  topic.resolved = true;
  std::string rid = makeRID(topic.topic.c_str());
  if (rid.compare(0, 6, "ERROR^") == 0) {
    LOG_ERR("RTD topic " << topicId << ": no instrument " << topic.topic);
    topic.error = true;
    return;
  }
  Stock* stock = findOrCreateStock(makeSymbol(rid.c_str()));
  if (stock->invalid) {
    topic.error = true;
    return;
  }
  topic.stock = stock;
  m_byStock[stock].push_back(topicId);
  stock->addWatcher();
  if (stock->isOpen() || stock->isRecent()) {
    auto it = stock->values.find(topic.fid);
    topic.text = it == stock->values.end() || it->second.empty() ? FieldText() : it->second;
    if (topic.text.empty()) topic.text = "0";
  }
}

void RtdTopics::disconnect(long topicId) {
  auto it = m_topics.find(topicId);
  if (it == m_topics.end()) return;
  unwatch(topicId, it->second);
  m_topics.erase(it);
}

void RtdTopics::unwatch(long topicId, Topic& topic) {
  if (!topic.stock) return;
  auto watching = m_byStock.find(topic.stock);
  if (watching != m_byStock.end()) {
    std::vector<long>& ids = watching->second;
    ids.erase(std::remove(ids.begin(), ids.end(), topicId), ids.end());
    if (ids.empty()) m_byStock.erase(watching);
  }
  Stock* stock = topic.stock;
  topic.stock = nullptr;
  stock->removeWatcher();
}

void RtdTopics::terminate() {
  for (auto& entry : m_topics) unwatch(entry.first, entry.second);
  m_topics.clear();
  m_byStock.clear();
  m_changed.clear();
  m_notified = false;
}

// Advise-loop rules: an update carries the field's new text, a field the
// update does not hold leaves the cell as it is, and a refused instrument
// is "ERROR" for good.
void RtdTopics::stockChanged(Stock& stock) {
  auto watching = m_byStock.find(&stock);
  if (watching == m_byStock.end()) return;
  for (long topicId : watching->second) {
    Topic& topic = m_topics[topicId];
    if (topic.error) continue;
    if (stock.invalid) {
      topic.error = true;
    } else {
      auto it = stock.values.find(topic.fid);
      if (it == stock.values.end() || it->second == topic.text) continue;
      topic.text = it->second;
    }
    markChanged(topicId, topic);
  }
  tellListener();
}

void RtdTopics::markChanged(long topicId, Topic& topic) {
  if (topic.pending) return;
  topic.pending = true;
  m_changed.push_back(topicId);
}

void RtdTopics::tellListener() {
  if (m_changed.empty() || m_notified) return;
  m_notified = true;
  if (m_listener) m_listener->rtdUpdated();
}

std::vector<std::pair<long, RtdValue>> RtdTopics::refresh() {
  std::vector<std::pair<long, RtdValue>> changed;
  std::vector<long> ids;
  ids.swap(m_changed);
  m_notified = false;
  changed.reserve(ids.size());
  for (long topicId : ids) {
    auto it = m_topics.find(topicId);
    if (it == m_topics.end() || !it->second.pending) continue;
    Topic& topic = it->second;
    topic.pending = false;
    RtdValue value = cellOf(topic);
    if (value == topic.delivered) continue;
    topic.delivered = value;
    changed.emplace_back(topicId, std::move(value));
  }
  return changed;
}

RtdValue RtdTopics::cellOf(const Topic& topic) {
  if (topic.error) return RtdValue::ofText("ERROR");
  return decodeCell(renderXlTable(topic.stock, topic.text.c_str(), topic.fid));
}

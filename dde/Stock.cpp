#include "dde/Stock.h"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>
#include <vector>

#include "dde/Conversation.h"
#include "dde/DDEInterface.h"
#include "dde/DdeFormats.h"
#include "feed/StdFID.h"
#include "support/Log.h"
#include "support/TavroUtil.h"
#include "support/Unicode.h"

std::unordered_map<std::string, Stock> stocks;
QelPSink* sink = nullptr;
char userLocale[32] = "en_GB";

namespace {
std::time_t (*stockClock)() = nullptr;
StockListener* stockListener = nullptr;

// The field's data as text: its bytes, or "0" for a field without data.
std::string fieldText(const QelField* field) {
  return field->getLength() ? std::string(field->getData(), field->getLength()) : std::string("0");
}

// Text from the feed (UTF-8) as DDE clients read it (Windows-1252), whole:
// a UTF-8 text never has more UTF-16 units than bytes.
std::string toClientText(const std::string& utf8) {
  int units = static_cast<int>(utf8.size());
  std::vector<wchar_t> wide(utf8.size() + 1);
  std::vector<char> narrow(utf8.size() + 1);
  CodePageToUnicode(CODEPAGE_UTF8, utf8.c_str(), wide.data(), units);
  UnicodeToCodePage(CODEPAGE_1252, wide.data(), narrow.data(), units);
  return narrow.data();
}

// Only fields of the table can be asked for; a feed naming others gets nothing
// kept for them, so a frame of many distinct ids costs its own size, no more.
bool isTableField(QelFID fid) { return fid < static_cast<QelFID>(NUM_FIDS); }

bool hasFields(char command) {
  return command == QelUpdate::ADD_ROW || command == QelUpdate::INSERT_ROW || command == QelUpdate::SELECT_ROW;
}
}  // namespace

void registerHandleStockChange(StockListener* listener) { stockListener = listener; }

// One update's notification: the Stock that posts, and the text each field
// the update changed had before, so that each loop reached can tell whether
// its client would see anything new. There is one, reused: the texts it
// keeps are swapped with the stored ones, so no update allocates for them.
struct Stock::Round {
  struct Change {
    int fid;
    bool existed;  // a field without a value gave its loops "ERROR"
    FieldText previous;
    signed char news[2];  // per format (text, table): -1 not yet known, 0 same, 1 changed
  };

  const Stock* stock = nullptr;
  bool everything = false;  // the "ERROR" of a refused instrument reaches every loop
  std::vector<Change> changes;
  std::size_t used = 0;
  unsigned char slot[NUM_FIDS] = {};  // fid -> index in changes + 1; 0: unchanged

  // Called before `stored`, the text of `fid`, takes its new value.
  void remember(int fid, FieldText& stored, bool added) {
    if (fid < 0 || fid >= NUM_FIDS || slot[fid]) return;  // a field twice in one update keeps its first text
    if (used == changes.size()) changes.push_back(Change{});
    Change& change = changes[used++];
    change.fid = fid;
    change.existed = !added;
    change.previous.swap(stored);
    change.news[0] = change.news[1] = -1;
    slot[fid] = static_cast<unsigned char>(used);
  }

  bool news(int fid, UINT format) {
    if (everything) return true;
    if (fid < 0 || fid >= NUM_FIDS || !slot[fid]) return false;
    Change& change = changes[slot[fid] - 1u];
    int kind = isXlTable(format) ? 1 : 0;
    if (change.news[kind] < 0) {
      auto now = stock->values.find(fid);
      bool same = change.existed && now != stock->values.end() &&
                  sameRendering(stock, change.previous.c_str(), now->second.c_str(), format, fid);
      change.news[kind] = same ? 0 : 1;
    }
    return change.news[kind] == 1;
  }
};

namespace {
Stock::Round round;
// Rounds do not nest; if one ever did, its loops would all be sent their value.
int roundDepth = 0;
}  // namespace

Stock::Round* Stock::beginRound() {
  if (++roundDepth != 1) return nullptr;
  round.stock = this;
  round.everything = false;
  round.used = 0;
  return &round;
}

void Stock::endRound() {
  if (roundDepth == 1) {
    for (std::size_t i = 0; i < round.used; ++i) round.slot[round.changes[i].fid] = 0;
    round.used = 0;
    round.stock = nullptr;
  }
  --roundDepth;
}

bool adviseNews(const Stock* stock, int fid, UINT format) {
  if (roundDepth != 1) return true;
  return stock == round.stock && round.news(fid, format);
}

void setStockClock(std::time_t (*clock)()) { stockClock = clock; }
std::time_t stockNow() { return stockClock ? stockClock() : std::time(nullptr); }

Stock* getStock(const char* symbol) {
  if (!symbol) return nullptr;
  char key[MAX_NAME_LENGTH + 1];
  TavroUtil::Strcpy(key, symbol, sizeof key);
  if (std::strlen(symbol) > MAX_NAME_LENGTH) return nullptr;  // never a prefix match
  TavroUtil::StrToUpper(key);
  auto it = stocks.find(key);
  return it == stocks.end() ? nullptr : &it->second;
}

Stock* findOrCreateStock(const std::string& symbol) {
  if (Stock* existing = getStock(symbol.c_str())) return existing;
  Stock& stock =
      stocks.emplace(std::piecewise_construct, std::forward_as_tuple(symbol), std::forward_as_tuple()).first->second;
  stock.setSymbol(symbol.c_str());
  return &stock;
}

Stock::Stock() : topic(nullptr), lastUpdate(0), invalid(false), market(nullptr), watchers(0) {}

Stock::~Stock() {
  if (topic && ddeInstance) DdeFreeStringHandle(ddeInstance, topic);
}

void Stock::setSymbol(const char* text) {
  char upper[MAX_NAME_LENGTH + 1];
  TavroUtil::Strcpy(upper, text, sizeof upper);
  TavroUtil::StrToUpper(upper);
  rid = makeRID(upper);
  symRid = makeSymRID(upper);
  values[FID_SYMBOL] = text ? text : "";
  symbol = upper;
  if (ddeInstance) topic = DdeCreateStringHandleA(ddeInstance, upper, CP_WINANSI);

  const char* p = upper;
  while (*p == '_') ++p;
  if (*p) values[FID_MARKET] = std::string(p, std::strcspn(p, "_"));

  market = nullptr;
  const char* first = std::strchr(rid.c_str(), '^');
  if (first) {
    std::string second(first + 1, std::strcspn(first + 1, "^"));
    auto it = marketMap.find(second);
    if (!second.empty() && it != marketMap.end()) market = it->second;
  }
}

void Stock::image(QelUpdate* update) {
  lastUpdate = stockNow();
  bool modified = false;
  char command;
  unsigned row, count;
  Round* changes = beginRound();
  update->startIterating();
  while (update->getCommand(command, row, count)) {
    if (!hasFields(command)) continue;
    QelField* field;
    while (update->getField(field)) {
      QelFID fid = field->getFID();
      if (fid == FID_MARKET || fid == FID_SYMBOL || !isTableField(fid)) continue;
      // As fieldText(), without making a string of it first.
      const char* text = field->getLength() ? field->getData() : "0";
      std::size_t length = field->getLength() ? static_cast<std::size_t>(field->getLength()) : 1;
      bool added;
      FieldText& stored = values.slot(static_cast<int>(fid), added);
      if (!stored.equals(text, length)) {
        if (changes) changes->remember(static_cast<int>(fid), stored, added);
        stored.assign(text, length);
        modified = true;
      }
    }
  }
  update->stopIterating();
  if (modified) {
    notifyLoops(changes);
    notifyWatchers();
  }
  endRound();
  releaseRequests();
}

void Stock::symbolImage(QelUpdate* update) {
  lastUpdate = stockNow();
  int best = 0;
  bool modified = false;
  char command;
  unsigned rowNumber, count;
  // One image may hold a great many rows; their language lines are capped.
  LogLimit rowLines;
  Round* changes = beginRound();
  update->startIterating();
  while (update->getCommand(command, rowNumber, count)) {
    if (!hasFields(command)) continue;
    std::map<int, std::string> row;
    QelField* field;
    while (update->getField(field))
      if (isTableField(field->getFID())) row[static_cast<int>(field->getFID())] = fieldText(field);
    if (!row.count(FID_LANGUAGE)) row[FID_LANGUAGE] = "en_GB";
    const std::string& language = row[FID_LANGUAGE];
    int score = language == userLocale ? 10 : language == "en_GB" ? 5 : 1;
    LOG_INF_LIMITED(rowLines, language << " " << userLocale << " " << score);
    if (score <= best) continue;
    best = score;
    for (const auto& entry : row) {
      std::string converted = toClientText(entry.second);
      bool added;
      FieldText& stored = values.slot(entry.first, added);
      if (stored != converted) {
        if (changes) changes->remember(entry.first, stored, added);
        stored = converted;
        modified = true;
      }
    }
  }
  update->stopIterating();
  rowLines.flush();
  if (modified) {
    notifyLoops(changes);
    notifyWatchers();
  }
  endRound();
  releaseRequests();
}

// One post per item to send under each topic handle that clients used: the
// library then serves every loop on that item once, and a library that
// matches loops by item alone still reaches each loop, which finds its own
// Stock through its conversation. An item is sent when a loop on it has had
// no data yet or its client would see a new value; without a round (one
// nested in another) every loop is.
void Stock::notifyLoops(Round* changes) {
  if (!ddeInstance) return;
  static std::vector<std::pair<HSZ, int>> spare;
  std::vector<std::pair<HSZ, int>> posts;
  posts.swap(spare);  // kept between updates, and safe should a post ever lead here again
  posts.clear();
  for (const auto& entry : conversations) {
    const Conversation* conversation = entry.second;
    if (!conversation->topic) continue;
    int last = -1;
    for (const Conversation::Loop& loop : conversation->subscriptions) {
      int fid = loop.fid();
      if (fid == last) continue;
      if (!changes || !loop.served || changes->news(fid, loop.format())) {
        posts.emplace_back(conversation->topic, fid);
        last = fid;
      }
    }
  }
  if (conversations.size() > 1) {
    std::sort(posts.begin(), posts.end());
    posts.erase(std::unique(posts.begin(), posts.end()), posts.end());
  }
  for (const auto& post : posts)
    if (post.second > 0 && post.second < NUM_FIDS && fidItems[post.second] &&
        !DdePostAdvise(ddeInstance, post.first, fidItems[post.second]))
      postFailed(post.second);
  posts.swap(spare);
}

// The system's DDE library could not hand the value to a client (a full
// message queue, a client gone): its loop keeps the old value until the field
// changes again, so a trader must be able to find it in the log.
void Stock::postFailed(int fid) {
  char item[64] = "";
  DdeQueryStringA(ddeInstance, fidItems[fid], item, sizeof item, CP_WINANSI);
  LOG_ERR_CAPPED("DdePostAdvise " << symbol << " " << item << " failed (DDE error 0x" << std::hex
                                  << DdeGetLastError(ddeInstance) << std::dec
                                  << "): a client's loop may show the previous value until the next change");
}

void Stock::serveNewLoops() {
  Round* none = beginRound();
  notifyLoops(none);
  endRound();
}

void Stock::notifyWatchers() {
  if (watchers && stockListener) stockListener->stockChanged(*this);
}

void Stock::releaseRequests() {
  if (requests.empty()) return;
  // Copy first: re-enabling a conversation may run callbacks that touch the set.
  std::vector<HCONV> waiting(requests.begin(), requests.end());
  requests.clear();
  if (ddeInstance)
    for (HCONV handle : waiting) DdeEnableCallback(ddeInstance, handle, EC_ENABLEALL);
}

void Stock::open() {
  int status = sink ? sink->getRecordStatus(rid.c_str()).status : QELSTATUS_CLOSED;
  if (status == QELSTATUS_OPEN_WAIT || status == QELSTATUS_OPEN_SNAPSHOT_WAIT || status == QELSTATUS_STALE_OPEN_WAIT)
    return;
  LOG_INF("sendOpen(" << rid << ")");
  if (!sink) return;
  sink->sendOpen(rid.c_str());
  sink->sendSnapshot(symRid.c_str());
  sink->setRecordOwner(rid.c_str(), this);
  sink->setRecordOwner(symRid.c_str(), this);
}

void Stock::snapshot() {
  int status = sink ? sink->getRecordStatus(rid.c_str()).status : QELSTATUS_CLOSED;
  if (status == QELSTATUS_OPEN_WAIT || status == QELSTATUS_SNAPSHOT_WAIT ||
      status == QELSTATUS_OPEN_SNAPSHOT_WAIT || status == QELSTATUS_STALE_OPEN_WAIT)
    return;
  LOG_INF("sendSnapshot(" << rid << ")");
  if (!sink) return;
  sink->sendSnapshot(rid.c_str());
  sink->setRecordOwner(rid.c_str(), this);
}

void Stock::close() {
  if (sink) sink->sendClose(rid.c_str());
}

bool Stock::isOpen() const {
  int status = sink ? sink->getRecordStatus(rid.c_str()).status : QELSTATUS_CLOSED;
  return status == QELSTATUS_OPEN || status == QELSTATUS_OPEN_SNAPSHOT_WAIT;
}

bool Stock::isRecent() const { return lastUpdate != 0 && stockNow() - lastUpdate < 3; }

void Stock::error() {
  LOG_DBG("Stock::error");
  invalid = true;
  releaseRequests();
  notifyWatchers();
  // "ERROR" to every loop, one post per item and topic handle as updates are.
  Round* all = beginRound();
  if (all) all->everything = true;
  notifyLoops(all);
  endRound();
  // The posts may have ended conversations: walk those still registered.
  std::vector<Conversation*> watching;
  for (const auto& entry : conversations)
    if (entry.second->symbol == symbol) watching.push_back(entry.second);
  for (Conversation* conversation : watching) conversation->error();
}

namespace {
bool holds(const std::vector<std::pair<HCONV, Conversation*>>& v, const Conversation* conversation) {
  return conversation->slot < v.size() && v[conversation->slot].second == conversation;
}
}  // namespace

void Stock::addConversation(Conversation* conversation) {
  if (!holds(conversations, conversation)) {
    conversation->slot = conversations.size();
    conversations.emplace_back(conversation->handle, conversation);
  }
  if (conversations.size() + watchers == 1) open();
}

void Stock::removeConversation(Conversation* conversation) {
  LOG_INF("Remove conversation " << static_cast<const void*>(conversation->handle) << " "
                                 << static_cast<const void*>(conversation));
  if (!holds(conversations, conversation)) {
    LOG_ERR("Trying to delete unknown conversation");
    return;
  }
  // The last one takes its place: thousands leaving at once cost each the same.
  std::size_t at = conversation->slot;
  conversations[at] = conversations.back();
  conversations[at].second->slot = at;
  conversations.pop_back();
  conversation->slot = static_cast<std::size_t>(-1);
  if (conversations.empty()) {
    if (watchers == 0) close();
    conversations.shrink_to_fit();
  }
}

void Stock::addWatcher() {
  if (++watchers == 1 && conversations.empty()) open();
}

void Stock::removeWatcher() {
  if (watchers > 0 && --watchers == 0 && conversations.empty()) close();
}

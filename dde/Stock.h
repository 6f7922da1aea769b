#pragma once
// The cached copy of one instrument that a DDE client has named: its record
// identifiers, the latest text of every field, its DDE topic handle, the
// conversations watching it and those waiting for a snapshot. It opens its
// feed records while watched, applies images and updates, and posts an
// advise notification for each watched item whose value, as its client
// sees it, the update changed (and for loops that have had no data yet).
// Stocks live by value in `stocks` and are never removed, so
// pointers to them stay valid; a Stock owns its topic handle, so it is never
// copied.

#include <ctime>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dde/FieldValues.h"
#include "feed/Market.h"
#include "feed/QelPSink.h"
#include "feed/QelUpdate.h"
#include "platform/ddeml.h"

class Conversation;
class Stock;

// Hears of every change to the values or the validity of a Stock that has
// watchers; the spreadsheet's RTD topics register it. Not owned.
class StockListener {
 public:
  virtual ~StockListener() = default;
  virtual void stockChanged(Stock& stock) = 0;
};
void registerHandleStockChange(StockListener* listener);

class Stock {
 public:
  Stock();
  Stock(const Stock&) = delete;
  Stock& operator=(const Stock&) = delete;
  virtual ~Stock();

  void setSymbol(const char* symbol);
  void image(QelUpdate* update);
  void symbolImage(QelUpdate* update);
  void open();
  void close();
  void snapshot();
  bool isOpen() const;
  bool isRecent() const;
  void error();
  void addConversation(Conversation* conversation);
  void removeConversation(Conversation* conversation);
  // A watcher other than a conversation (an RTD topic) keeps the records
  // open as a conversation does, and hears of changes through the listener.
  void addWatcher();
  void removeWatcher();
  // Sends the loops that have had no data yet their value (or "ERROR").
  void serveNewLoops();
  // What one notification carries (in Stock.cpp).
  struct Round;

  HSZ topic;
  std::time_t lastUpdate;
  std::string symbol;
  std::string rid;
  std::string symRid;
  bool invalid;
  Market* market;
  FieldValues values;
  // Each registered conversation once, in no order (each knows its place:
  // Conversation::slot), so that registering and leaving cost the same
  // however many watch.
  std::vector<std::pair<HCONV, Conversation*>> conversations;
  std::set<HCONV> requests;
  unsigned watchers;

 private:
  void releaseRequests();
  Round* beginRound();
  void endRound();
  void notifyLoops(Round* round);
  void postFailed(int fid);
  void notifyWatchers();
};

// Canonical symbol -> Stock; entries are made on first mention and never
// removed (a hash table keeps its elements where they are). Every feed
// update finds its Stock here by name.
extern std::unordered_map<std::string, Stock> stocks;
// The one feed connection; created at start-up, never deleted.
extern QelPSink* sink;
// The user's locale code, which picks the language of descriptive texts.
extern char userLocale[32];

// The Stock under the upper-cased `symbol`, or null; never creates one.
Stock* getStock(const char* symbol);
// The Stock under `symbol` (canonical), created and given its symbol when new.
Stock* findOrCreateStock(const std::string& symbol);

// Whether a loop of `stock` on `fid` in `format` that has had data already
// is sent the value now. While a Stock posts: only a loop of that Stock, and
// only when its client would see a changed value (a library may serve loops
// of other instruments on the same item, which have nothing new). Outside
// any post: always.
bool adviseNews(const Stock* stock, int fid, UINT format);

// Seconds since 1970 as the cache sees them; tests replace the clock.
void setStockClock(std::time_t (*clock)());
std::time_t stockNow();

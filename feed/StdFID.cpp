#include "feed/StdFID.h"

std::map<std::string, int> fidMap;
int fidType[NUM_FID_TYPES];

// In FID order from 1.
static const char* const FID_NAMES[] = {
    "CHANGE", "CHANGE_PC", "CUR", "BID", "OFFER", "MID", "SPREAD", "SPREAD_PC", "OPEN", "HIGH",
    "LOW", "CLOSE", "LAST_CHANGE_TIME", "OPEN_CHANGE", "OPEN_CHANGE_PC", "VOLUME", "BUY_VOLUME",
    "SELL_VOLUME", "UNKNOWN_VOLUME", "BUY_PC",
    "SELL_PC", "UNKNOWN_PC", "FLAGS", "YEST_BID", "YEST_OFFER", "YEST_CLOSE", "YEST_VOLUME", "BID_SIZE",
    "OFFER_SIZE", "OPEN_INTEREST",
    "PERIOD_VWAP", "DAILY_VWAP", "UNCROSSING_PRICE", "UNCROSSING_VOLUME", "AUCTION_TIME", "TRADE_PRICE_0",
    "TRADE_PRICE_1", "TRADE_PRICE_2", "TRADE_PRICE_3", "TRADE_PRICE_4",
    "LAST_TRADE_SIZE", "LAST_TRADE_TIME", "LAST_TRADE_TYPE", "LAST_TRADE_FLAGS", "TRADE_HIGH", "TRADE_LOW",
    "NUM_TRADES", "BUY_SELL", "DELAYED", "OPEN_TIME",
    "CLOSE_TIME", "TIME", "SIZE", "PRICE", "CODE", "EXCHANGE", "NUMBER", "TYPE", "DELETED",
    "MINUTE_OPEN_PRICE",
    "MINUTE_HIGH_PRICE", "MINUTE_LOW_PRICE", "MINUTE_BUY_VOLUME", "MINUTE_SELL_VOLUME",
    "MINUTE_UNKNOWN_VOLUME", "MINUTE_TOTAL_VOLUME", "NAME", "MARKET", "ISIN", "DESCRIPTION",
    "SYMBOL", "GAINERS", "LOSERS", "UNCHANGED", "GAINERS_PC", "LOSERS_PC", "UNCHANGED_PC", "NUM_STOCKS",
    "CURRENCY",
};

struct FidTypeEntry {
  int fid;
  int type;
};

static const FidTypeEntry FID_TYPES[] = {
    {16, 1}, {17, 1}, {18, 1}, {19, 1}, {28, 1}, {29, 1}, {30, 1}, {34, 1}, {41, 1}, {47, 1},
    {13, 2}, {35, 2}, {42, 2},
    {67, 3}, {68, 3}, {69, 3}, {70, 3}, {71, 3}, {79, 3},
    {23, 4},
    {44, 5},
    {43, 6},
};

void InitializeFIDs() {
  int fid = 1;
  for (const char* name : FID_NAMES) fidMap[name] = fid++;
  for (int i = 0; i < NUM_FID_TYPES; ++i) fidType[i] = 0;
  for (const FidTypeEntry& e : FID_TYPES) fidType[e.fid] = e.type;
}

int GetFID(const char* name) {
  if (!name) return 0;
  auto it = fidMap.find(name);
  return it == fidMap.end() ? 0 : it->second;
}

#include "feed/StdFID.h"

std::map<std::string, int> fidMap;
int fidType[NUM_FIDS];

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
    {16, FID_TYPE_COUNT}, {17, FID_TYPE_COUNT}, {18, FID_TYPE_COUNT}, {19, FID_TYPE_COUNT},
    {28, FID_TYPE_COUNT}, {29, FID_TYPE_COUNT}, {30, FID_TYPE_COUNT}, {34, FID_TYPE_COUNT},
    {41, FID_TYPE_COUNT}, {47, FID_TYPE_COUNT},
    {13, FID_TYPE_TIME}, {35, FID_TYPE_TIME}, {42, FID_TYPE_TIME},
    {67, FID_TYPE_TEXT}, {68, FID_TYPE_TEXT}, {69, FID_TYPE_TEXT}, {70, FID_TYPE_TEXT},
    {71, FID_TYPE_TEXT}, {79, FID_TYPE_TEXT},
    {23, FID_TYPE_FLAGS},
    {44, FID_TYPE_TRADE_FLAGS},
    {43, FID_TYPE_TRADE_TYPE},
};

void InitializeFIDs() {
  int fid = 1;
  for (const char* name : FID_NAMES) fidMap[name] = fid++;
  for (int i = 0; i < NUM_FIDS; ++i) fidType[i] = FID_TYPE_NUMBER;
  for (const FidTypeEntry& e : FID_TYPES) fidType[e.fid] = e.type;
}

int GetFID(const char* name) {
  if (!name) return 0;
  auto it = fidMap.find(name);
  return it == fidMap.end() ? 0 : it->second;
}

#pragma once
// Short texts for the codes that some fields carry instead of values: trade
// types (kind 0), trade flag bits (kind 1), exchange names (kind 2),
// instrument flag bits (kind 3) and announcement kinds (kind 4), by market.
// Key = (market id + 1) * 1000 + kind * 100 + code. Filled once at start-up
// by initTradeCodes and only read afterwards. Absent entries read as "".

#include <map>
#include <string>

// The kinds of code, the hundreds digit of a key.
enum TradeCodeKind {
  TRADE_CODE_TRADE_TYPE = 0,
  TRADE_CODE_TRADE_FLAGS = 1,
  TRADE_CODE_EXCHANGE = 2,
  TRADE_CODE_INSTRUMENT_FLAGS = 3,
  TRADE_CODE_ANNOUNCEMENT = 4,
};

extern std::map<int, std::string> tradeCodes;

void initTradeCodes();
// The entry of every set bit of `value` (bit 31 included), lowest first,
// each followed by one space; a set bit without an entry gives the space alone.
std::string tradeCodeFlags(int marketid, int type, int value);
// The entry of one code; a value of 100 or more reaches the next kind's block.
std::string tradeCodeString(int marketid, int type, int value);

#pragma once
// The table between field names (the DDE items) and field identifiers, and
// the value type of every identifier, which decides how a value is shown.
// Filled once at start-up by InitializeFIDs and only read afterwards.

#include <map>
#include <string>

// FIDs 0 to NUM_FIDS - 1 have a slot in the table; no other FID can be named.
const int NUM_FIDS = 226;

// The value type codes of `fidType`.
enum FidType {
  FID_TYPE_NUMBER = 0,
  FID_TYPE_COUNT = 1,         // a quantity, shown as a number
  FID_TYPE_TIME = 2,          // decimal seconds since the epoch, shown as a local time of day
  FID_TYPE_TEXT = 3,
  FID_TYPE_FLAGS = 4,         // instrument flag bits, shown as words
  FID_TYPE_TRADE_FLAGS = 5,   // trade flag bits, shown as words
  FID_TYPE_TRADE_TYPE = 6,    // one trade-type code, shown as a word
};

// Fields with a fixed role in the descriptive (symbol) record: MARKET and
// SYMBOL are the instrument's own names, and the unnamed field 225 tags each
// row with its language.
const int FID_MARKET = 68;
const int FID_SYMBOL = 71;
const int FID_LANGUAGE = 225;

// Exact, case-sensitive names to FIDs 1 to 79.
extern std::map<std::string, int> fidMap;
// Indexed by FID 0 to NUM_FIDS - 1; FIDs without a name are FID_TYPE_NUMBER.
extern int fidType[NUM_FIDS];

void InitializeFIDs();
// 0 for a name that is not in the table.
int GetFID(const char* name);

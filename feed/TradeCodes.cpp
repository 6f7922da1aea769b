#include "feed/TradeCodes.h"

#include <climits>
#include <cstddef>

std::map<int, std::string> tradeCodes;

namespace {

struct CodeEntry {
  int code;
  const char* text;
};

struct CodeBlock {
  int marketid;
  int kind;
  const CodeEntry* entries;
  std::size_t count;
};

const CodeEntry NO_MARKET_FLAGS[] = {{0, "(no change)"}, {1, "(no trades)"}, {2, "MKT"}};

const CodeEntry MARKET0_TYPES[] = {
    {0, "O"},   {1, "B"},   {2, "EU"},  {3, "ER"},  {4, "K"},   {5, "LC"},  {6, "M"},   {7, "N"},
    {8, "NM"},  {9, "NR"},  {10, "P"},  {11, "R"},  {12, "RO"}, {13, "RT"}, {14, "ST"}, {15, "SW"},
    {16, "UT"}, {17, "X"},  {18, "AT"}, {19, "PA"}, {20, "PC"}, {21, "T"},  {22, "WN"}, {23, "WT"},
    {24, "CT"}, {25, "AI"}, {26, "PN"}, {27, "VW"}, {28, "RC"},
};
const CodeEntry MARKET0_TRADE_FLAGS[] = {{0, "B"}, {1, "C"}, {2, "L"}, {3, "O"}};
const CodeEntry MARKET0_EXCHANGES[] = {{0, "lse"}};
const CodeEntry MARKET0_INSTRUMENT_FLAGS[] = {
    {0, "A"}, {1, "S"}, {2, "XC"}, {3, "XD"}, {4, "XL"}, {5, "XO"}, {6, "XR"}, {7, "XP"}, {8, "XS"}, {9, "SU"},
    {10, "AU"},
};
const CodeEntry MARKET0_ANNOUNCEMENTS[] = {
    {0, "ANNOUNCEMENT"}, {1, "STABALISATION"}, {2, "EXCAPIT"},    {3, "EXDIV"},
    {4, "EXLIQDIS"},     {5, "EXOTH"},         {6, "EXRIGHTS"},   {7, "EXREPOFCAP"},
    {8, "EXSTOCKDIS"},   {9, "SUSPENDED"},     {10, "AUCTION"},
};

// Markets 1, 11 and 12 share these.
const CodeEntry MARKET1_TYPES[] = {
    {1, "AQ"},        {2, "BUNCHED"},   {3, "CASH"},   {4, "DIST"},    {7, "BNCHSOLD"}, {11, "RULE155"},
    {12, "SOLDLAST"}, {14, "NXTDAY"},   {15, "OPENED"}, {16, "PRIORREF"}, {18, "SELLER"}, {19, "SPLIT"},
    {20, "FORMT"},    {23, "AVERAGE"},  {26, "SEQ"},   {27, "VOLONLY"},
};
const CodeEntry MARKET1_EXCHANGES[] = {
    {0, "nasd"}, {1, "amex"}, {2, "bost"}, {3, "cinc"}, {4, "chgo"}, {5, "nyse"}, {6, "pac"}, {7, "phil"},
};

// Markets 2 and 3 share these.
const CodeEntry MARKET2_TYPES[] = {
    {1, "AQ"},         {2, "AVERAGE"},   {3, "CASH"},     {4, "NXTDAYMKT"}, {5, "DIRECTPLUS"},
    {6, "BURSTBASKET"}, {7, "OPENREOPEN"}, {8, "INTRADAY"}, {9, "BASKETIDX"}, {10, "RULE127"},
    {11, "RULE155"},   {12, "SOLDLAST"}, {14, "NXTDAY"},  {15, "OPENED"},   {18, "SELLER"},
    {19, "SPLIT"},     {20, "FORMT"},    {26, "SEQ"},     {27, "VOLONLY"},
};
const CodeEntry MARKET2_EXCHANGES[] = {
    {0, "nasd"}, {1, "amex"}, {2, "bost"}, {3, "cinc"}, {4, "chgo"},
    {5, "nyse"}, {6, "pac"},  {7, "phil"}, {8, "nasdsc"},
};

const CodeEntry MARKET13_TYPES[] = {{27, "VOLONLY"}};

const CodeEntry MARKET19_TYPES[] = {
    {1, "A"},  {2, "B"},  {3, "C"},  {4, "D"},  {5, "E"},  {6, "F"},  {7, "G"},  {10, "H"},
    {11, "I"}, {12, "J"}, {13, "K"}, {14, "L"}, {15, "M"}, {17, "O"}, {22, "R"}, {23, "S"},
    {24, "T"}, {25, "U"}, {26, "V"}, {27, "W"}, {30, "X"}, {31, "Y"}, {32, "Z"},
};

#define BLOCK(market, kind, entries) {market, kind, entries, sizeof entries / sizeof entries[0]}

const CodeBlock BLOCKS[] = {
    BLOCK(-1, 1, NO_MARKET_FLAGS),
    BLOCK(0, 0, MARKET0_TYPES),
    BLOCK(0, 1, MARKET0_TRADE_FLAGS),
    BLOCK(0, 2, MARKET0_EXCHANGES),
    BLOCK(0, 3, MARKET0_INSTRUMENT_FLAGS),
    BLOCK(0, 4, MARKET0_ANNOUNCEMENTS),
    BLOCK(1, 0, MARKET1_TYPES),
    BLOCK(1, 2, MARKET1_EXCHANGES),
    BLOCK(2, 0, MARKET2_TYPES),
    BLOCK(2, 2, MARKET2_EXCHANGES),
    BLOCK(3, 0, MARKET2_TYPES),
    BLOCK(3, 2, MARKET2_EXCHANGES),
    BLOCK(11, 0, MARKET1_TYPES),
    BLOCK(11, 2, MARKET1_EXCHANGES),
    BLOCK(12, 0, MARKET1_TYPES),
    BLOCK(12, 2, MARKET1_EXCHANGES),
    BLOCK(13, 0, MARKET13_TYPES),
    BLOCK(19, 0, MARKET19_TYPES),
};

#undef BLOCK

long long keyOf(int marketid, int type, long long code) {
  return (static_cast<long long>(marketid) + 1) * 1000 + static_cast<long long>(type) * 100 + code;
}

// Keys outside int range cannot be in the table; they read as "".
std::string lookup(long long key) {
  if (key < INT_MIN || key > INT_MAX) return "";
  auto it = tradeCodes.find(static_cast<int>(key));
  return it == tradeCodes.end() ? std::string() : it->second;
}

}  // namespace

void initTradeCodes() {
  for (const CodeBlock& block : BLOCKS)
    for (std::size_t i = 0; i < block.count; ++i)
      tradeCodes[static_cast<int>(keyOf(block.marketid, block.kind, block.entries[i].code))] = block.entries[i].text;
}

std::string tradeCodeFlags(int marketid, int type, int value) {
  std::string out;
  unsigned bits = static_cast<unsigned>(value);
  for (int bit = 0; bit < 32; ++bit) {
    if (!(bits >> bit & 1u)) continue;
    out += lookup(keyOf(marketid, type, bit));
    out += ' ';
  }
  return out;
}

std::string tradeCodeString(int marketid, int type, int value) { return lookup(keyOf(marketid, type, value)); }

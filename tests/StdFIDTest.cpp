#include "feed/StdFID.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>

namespace {

struct NamedFid {
  const char* name;
  int fid;
  int type;
};

const NamedFid TABLE[] = {
    {"CHANGE", 1, 0},
    {"CHANGE_PC", 2, 0},
    {"CUR", 3, 0},
    {"BID", 4, 0},
    {"OFFER", 5, 0},
    {"MID", 6, 0},
    {"SPREAD", 7, 0},
    {"SPREAD_PC", 8, 0},
    {"OPEN", 9, 0},
    {"HIGH", 10, 0},
    {"LOW", 11, 0},
    {"CLOSE", 12, 0},
    {"LAST_CHANGE_TIME", 13, 2},
    {"OPEN_CHANGE", 14, 0},
    {"OPEN_CHANGE_PC", 15, 0},
    {"VOLUME", 16, 1},
    {"BUY_VOLUME", 17, 1},
    {"SELL_VOLUME", 18, 1},
    {"UNKNOWN_VOLUME", 19, 1},
    {"BUY_PC", 20, 0},
    {"SELL_PC", 21, 0},
    {"UNKNOWN_PC", 22, 0},
    {"FLAGS", 23, 4},
    {"YEST_BID", 24, 0},
    {"YEST_OFFER", 25, 0},
    {"YEST_CLOSE", 26, 0},
    {"YEST_VOLUME", 27, 0},
    {"BID_SIZE", 28, 1},
    {"OFFER_SIZE", 29, 1},
    {"OPEN_INTEREST", 30, 1},
    {"PERIOD_VWAP", 31, 0},
    {"DAILY_VWAP", 32, 0},
    {"UNCROSSING_PRICE", 33, 0},
    {"UNCROSSING_VOLUME", 34, 1},
    {"AUCTION_TIME", 35, 2},
    {"TRADE_PRICE_0", 36, 0},
    {"TRADE_PRICE_1", 37, 0},
    {"TRADE_PRICE_2", 38, 0},
    {"TRADE_PRICE_3", 39, 0},
    {"TRADE_PRICE_4", 40, 0},
    {"LAST_TRADE_SIZE", 41, 1},
    {"LAST_TRADE_TIME", 42, 2},
    {"LAST_TRADE_TYPE", 43, 6},
    {"LAST_TRADE_FLAGS", 44, 5},
    {"TRADE_HIGH", 45, 0},
    {"TRADE_LOW", 46, 0},
    {"NUM_TRADES", 47, 1},
    {"BUY_SELL", 48, 0},
    {"DELAYED", 49, 0},
    {"OPEN_TIME", 50, 0},
    {"CLOSE_TIME", 51, 0},
    {"TIME", 52, 0},
    {"SIZE", 53, 0},
    {"PRICE", 54, 0},
    {"CODE", 55, 0},
    {"EXCHANGE", 56, 0},
    {"NUMBER", 57, 0},
    {"TYPE", 58, 0},
    {"DELETED", 59, 0},
    {"MINUTE_OPEN_PRICE", 60, 0},
    {"MINUTE_HIGH_PRICE", 61, 0},
    {"MINUTE_LOW_PRICE", 62, 0},
    {"MINUTE_BUY_VOLUME", 63, 0},
    {"MINUTE_SELL_VOLUME", 64, 0},
    {"MINUTE_UNKNOWN_VOLUME", 65, 0},
    {"MINUTE_TOTAL_VOLUME", 66, 0},
    {"NAME", 67, 3},
    {"MARKET", 68, 3},
    {"ISIN", 69, 3},
    {"DESCRIPTION", 70, 3},
    {"SYMBOL", 71, 3},
    {"GAINERS", 72, 0},
    {"LOSERS", 73, 0},
    {"UNCHANGED", 74, 0},
    {"GAINERS_PC", 75, 0},
    {"LOSERS_PC", 76, 0},
    {"UNCHANGED_PC", 77, 0},
    {"NUM_STOCKS", 78, 0},
    {"CURRENCY", 79, 3},
};

class StdFIDTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Dirty the table first: filling it must set every slot, not rely on zeroed globals.
    fidMap.clear();
    for (int i = 0; i < NUM_FIDS; ++i) fidType[i] = 9;
    InitializeFIDs();
  }
};

TEST_F(StdFIDTest, MapHoldsExactlyTheSeventyNineNames) {
  EXPECT_EQ(sizeof TABLE / sizeof TABLE[0], 79u);
  EXPECT_EQ(fidMap.size(), 79u);
  for (const NamedFid& e : TABLE) {
    auto it = fidMap.find(e.name);
    ASSERT_NE(it, fidMap.end()) << e.name;
    EXPECT_EQ(it->second, e.fid) << e.name;
    EXPECT_EQ(GetFID(e.name), e.fid) << e.name;
  }
}

TEST_F(StdFIDTest, EveryFidHasItsTypeAndUnnamedOnesAreNumbers) {
  int expected[NUM_FIDS] = {};
  for (const NamedFid& e : TABLE) expected[e.fid] = e.type;
  for (int fid = 0; fid < NUM_FIDS; ++fid) EXPECT_EQ(fidType[fid], expected[fid]) << "FID " << fid;
}

TEST_F(StdFIDTest, TypeEdgeCases) {
  EXPECT_EQ(fidType[42], 2);
  EXPECT_EQ(fidType[43], 6);
  EXPECT_EQ(fidType[44], 5);
  EXPECT_EQ(fidType[23], 4);
  EXPECT_EQ(fidType[52], 0);
  EXPECT_EQ(fidType[225], 0);
}

TEST_F(StdFIDTest, LookupIsExactAndUnknownNamesGiveZero) {
  EXPECT_EQ(GetFID("BID"), 4);
  EXPECT_EQ(GetFID("CURRENCY"), 79);
  const char* unknown[] = {"bid", "", "BID ", " BID", "BI", "BIDS", "Bid", "0", "FID_4"};
  for (const char* name : unknown) EXPECT_EQ(GetFID(name), 0) << "'" << name << "'";
  EXPECT_EQ(GetFID(nullptr), 0);
}

TEST_F(StdFIDTest, FillingTwiceChangesNothing) {
  const std::map<std::string, int> names = fidMap;
  int types[NUM_FIDS];
  for (int i = 0; i < NUM_FIDS; ++i) types[i] = fidType[i];
  InitializeFIDs();
  EXPECT_EQ(fidMap, names);
  for (int i = 0; i < NUM_FIDS; ++i) EXPECT_EQ(fidType[i], types[i]) << "FID " << i;
}

// The users' guide lists every item with its kind; a field added, renamed or
// retyped here without the guide following fails this.
TEST_F(StdFIDTest, UserGuideListsEveryItemWithItsKind) {
  const std::map<std::string, int> kinds = {
      {"number", FID_TYPE_NUMBER}, {"count", FID_TYPE_COUNT},       {"time", FID_TYPE_TIME},
      {"text", FID_TYPE_TEXT},     {"instrument flags", FID_TYPE_FLAGS}, {"trade flags", FID_TYPE_TRADE_FLAGS},
      {"trade type", FID_TYPE_TRADE_TYPE}};
  std::ifstream guide(TAVRO_USER_GUIDE);
  ASSERT_TRUE(guide) << TAVRO_USER_GUIDE;
  // Two tables: "| Kind | What a cell shows |" explains each kind once, and
  // "| Item | Kind | ..." lists each item once with one of those kinds.
  std::map<std::string, int> listed;
  std::set<std::string> explained;
  std::string line, table;
  while (std::getline(guide, line)) {
    if (line.empty() || line[0] != '|') {
      table.clear();
      continue;
    }
    if (table.empty()) {
      table = line;
      continue;
    }
    if (line.rfind("|---", 0) == 0) continue;
    if (table.rfind("| Kind | What a cell shows |", 0) == 0) {
      std::string kind = line.substr(2, line.find(" |", 2) - 2);
      EXPECT_EQ(kinds.count(kind), 1u) << "explained kind that no field has: " << line;
      EXPECT_TRUE(explained.insert(kind).second) << "kind explained twice: " << line;
    } else if (table.rfind("| Item | Kind |", 0) == 0) {
      // | `NAME` | kind | what it holds |
      ASSERT_EQ(line.rfind("| `", 0), 0u) << line;
      std::size_t nameEnd = line.find('`', 3), kindStart = line.find("| ", nameEnd),
                  kindEnd = line.find(" |", kindStart + 1);
      ASSERT_NE(kindEnd, std::string::npos) << line;
      std::string kind = line.substr(kindStart + 2, kindEnd - kindStart - 2);
      ASSERT_EQ(kinds.count(kind), 1u) << line;
      std::string name = line.substr(3, nameEnd - 3);
      EXPECT_EQ(listed.count(name), 0u) << "item listed twice: " << line;
      listed[name] = kinds.at(kind);
    }
  }
  std::map<std::string, int> fields;
  for (const auto& [name, fid] : fidMap) fields[name] = fidType[fid];
  EXPECT_EQ(listed, fields);
  std::set<std::string> all;
  for (const auto& entry : kinds) all.insert(entry.first);
  EXPECT_EQ(explained, all);
}

}  // namespace

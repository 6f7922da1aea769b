#include "feed/TradeCodes.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <string>

namespace {

struct Code {
  int key;
  const char* text;
};

// Every entry, key by key.
const Code TABLE[] = {
    {100, "(no change)"}, {101, "(no trades)"}, {102, "MKT"},

    {1000, "O"}, {1001, "B"}, {1002, "EU"}, {1003, "ER"}, {1004, "K"}, {1005, "LC"}, {1006, "M"},
    {1007, "N"}, {1008, "NM"}, {1009, "NR"}, {1010, "P"}, {1011, "R"}, {1012, "RO"}, {1013, "RT"},
    {1014, "ST"}, {1015, "SW"}, {1016, "UT"}, {1017, "X"}, {1018, "AT"}, {1019, "PA"}, {1020, "PC"},
    {1021, "T"}, {1022, "WN"}, {1023, "WT"}, {1024, "CT"}, {1025, "AI"}, {1026, "PN"}, {1027, "VW"},
    {1028, "RC"},
    {1100, "B"}, {1101, "C"}, {1102, "L"}, {1103, "O"},
    {1200, "lse"},
    {1300, "A"}, {1301, "S"}, {1302, "XC"}, {1303, "XD"}, {1304, "XL"}, {1305, "XO"}, {1306, "XR"},
    {1307, "XP"}, {1308, "XS"}, {1309, "SU"}, {1310, "AU"},
    {1400, "ANNOUNCEMENT"}, {1401, "STABALISATION"}, {1402, "EXCAPIT"}, {1403, "EXDIV"},
    {1404, "EXLIQDIS"}, {1405, "EXOTH"}, {1406, "EXRIGHTS"}, {1407, "EXREPOFCAP"}, {1408, "EXSTOCKDIS"},
    {1409, "SUSPENDED"}, {1410, "AUCTION"},

    {2001, "AQ"}, {2002, "BUNCHED"}, {2003, "CASH"}, {2004, "DIST"}, {2007, "BNCHSOLD"}, {2011, "RULE155"},
    {2012, "SOLDLAST"}, {2014, "NXTDAY"}, {2015, "OPENED"}, {2016, "PRIORREF"}, {2018, "SELLER"},
    {2019, "SPLIT"}, {2020, "FORMT"}, {2023, "AVERAGE"}, {2026, "SEQ"}, {2027, "VOLONLY"},
    {2200, "nasd"}, {2201, "amex"}, {2202, "bost"}, {2203, "cinc"}, {2204, "chgo"}, {2205, "nyse"},
    {2206, "pac"}, {2207, "phil"},

    {3001, "AQ"}, {3002, "AVERAGE"}, {3003, "CASH"}, {3004, "NXTDAYMKT"}, {3005, "DIRECTPLUS"},
    {3006, "BURSTBASKET"}, {3007, "OPENREOPEN"}, {3008, "INTRADAY"}, {3009, "BASKETIDX"}, {3010, "RULE127"},
    {3011, "RULE155"}, {3012, "SOLDLAST"}, {3014, "NXTDAY"}, {3015, "OPENED"}, {3018, "SELLER"},
    {3019, "SPLIT"}, {3020, "FORMT"}, {3026, "SEQ"}, {3027, "VOLONLY"},
    {3200, "nasd"}, {3201, "amex"}, {3202, "bost"}, {3203, "cinc"}, {3204, "chgo"}, {3205, "nyse"},
    {3206, "pac"}, {3207, "phil"}, {3208, "nasdsc"},

    {4001, "AQ"}, {4002, "AVERAGE"}, {4003, "CASH"}, {4004, "NXTDAYMKT"}, {4005, "DIRECTPLUS"},
    {4006, "BURSTBASKET"}, {4007, "OPENREOPEN"}, {4008, "INTRADAY"}, {4009, "BASKETIDX"}, {4010, "RULE127"},
    {4011, "RULE155"}, {4012, "SOLDLAST"}, {4014, "NXTDAY"}, {4015, "OPENED"}, {4018, "SELLER"},
    {4019, "SPLIT"}, {4020, "FORMT"}, {4026, "SEQ"}, {4027, "VOLONLY"},
    {4200, "nasd"}, {4201, "amex"}, {4202, "bost"}, {4203, "cinc"}, {4204, "chgo"}, {4205, "nyse"},
    {4206, "pac"}, {4207, "phil"}, {4208, "nasdsc"},

    {12001, "AQ"}, {12002, "BUNCHED"}, {12003, "CASH"}, {12004, "DIST"}, {12007, "BNCHSOLD"},
    {12011, "RULE155"}, {12012, "SOLDLAST"}, {12014, "NXTDAY"}, {12015, "OPENED"}, {12016, "PRIORREF"},
    {12018, "SELLER"}, {12019, "SPLIT"}, {12020, "FORMT"}, {12023, "AVERAGE"}, {12026, "SEQ"},
    {12027, "VOLONLY"},
    {12200, "nasd"}, {12201, "amex"}, {12202, "bost"}, {12203, "cinc"}, {12204, "chgo"}, {12205, "nyse"},
    {12206, "pac"}, {12207, "phil"},

    {13001, "AQ"}, {13002, "BUNCHED"}, {13003, "CASH"}, {13004, "DIST"}, {13007, "BNCHSOLD"},
    {13011, "RULE155"}, {13012, "SOLDLAST"}, {13014, "NXTDAY"}, {13015, "OPENED"}, {13016, "PRIORREF"},
    {13018, "SELLER"}, {13019, "SPLIT"}, {13020, "FORMT"}, {13023, "AVERAGE"}, {13026, "SEQ"},
    {13027, "VOLONLY"},
    {13200, "nasd"}, {13201, "amex"}, {13202, "bost"}, {13203, "cinc"}, {13204, "chgo"}, {13205, "nyse"},
    {13206, "pac"}, {13207, "phil"},

    {14027, "VOLONLY"},

    {20001, "A"}, {20002, "B"}, {20003, "C"}, {20004, "D"}, {20005, "E"}, {20006, "F"}, {20007, "G"},
    {20010, "H"}, {20011, "I"}, {20012, "J"}, {20013, "K"}, {20014, "L"}, {20015, "M"}, {20017, "O"},
    {20022, "R"}, {20023, "S"}, {20024, "T"}, {20025, "U"}, {20026, "V"}, {20027, "W"}, {20030, "X"},
    {20031, "Y"}, {20032, "Z"},
};

class TradeCodesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tradeCodes.clear();
    initTradeCodes();
  }
};

TEST_F(TradeCodesTest, TableHoldsExactlyTheTwoHundredElevenEntries) {
  EXPECT_EQ(sizeof TABLE / sizeof TABLE[0], 211u);
  std::map<int, std::string> expected;
  for (const Code& c : TABLE) {
    EXPECT_TRUE(expected.emplace(c.key, c.text).second) << "key " << c.key << " twice in the test table";
  }
  EXPECT_EQ(tradeCodes.size(), 211u);
  EXPECT_EQ(tradeCodes, expected);
}

TEST_F(TradeCodesTest, FillingTwiceChangesNothing) {
  const std::map<int, std::string> first = tradeCodes;
  initTradeCodes();
  EXPECT_EQ(tradeCodes, first);
}

TEST_F(TradeCodesTest, EveryEntryIsFoundByMarketKindAndCode) {
  for (const Code& c : TABLE) {
    int market = c.key / 1000 - 1;
    int kind = c.key % 1000 / 100;
    int code = c.key % 100;
    EXPECT_EQ(tradeCodeString(market, kind, code), c.text) << "key " << c.key;
  }
}

TEST_F(TradeCodesTest, StringOfCodes) {
  const struct {
    int market, kind, value;
    const char* text;
  } cases[] = {
      {1, 0, 27, "VOLONLY"},
      {1, 0, 5, ""},         // a gap in the block
      {0, 0, 100, "B"},      // reaches key 1100, the next kind's block
      {-1, 1, 1, "(no trades)"},
      {19, 0, 32, "Z"},
      {13, 0, 1, ""},
      {-1, 0, 0, ""},
      {0, 0, -1, ""},        // key 999
      {0, 1, -100, "O"},     // key 1000
      {INT_MAX, 9, INT_MAX, ""},
      {INT_MIN, 0, INT_MIN, ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(tradeCodeString(c.market, c.kind, c.value), c.text) << c.market << " " << c.kind << " " << c.value;
}

TEST_F(TradeCodesTest, FlagsNameEverySetBitLowestFirstEachFollowedByASpace) {
  const struct {
    int market, kind, value;
    std::string text;
  } cases[] = {
      {0, 1, 5, "B L "},
      {0, 3, 0, ""},
      {0, 3, 2048, " "},  // bit 11 has no entry
      {0, 1, 15, "B C L O "},
      {0, 3, 1 << 10 | 1 << 3 | 1, "A XD AU "},
      {0, 1, 16 | 2, "C  "},  // bit 4 has no entry
      {-1, 1, 7, "(no change) (no trades) MKT "},
      {19, 0, INT_MIN | 2, "A Y "},  // the sign bit counts as bit 31
      {0, 3, -1, "A S XC XD XL XO XR XP XS SU AU " + std::string(21, ' ')},
  };
  for (const auto& c : cases)
    EXPECT_EQ(tradeCodeFlags(c.market, c.kind, c.value), c.text) << c.market << " " << c.kind << " " << c.value;
}

}  // namespace

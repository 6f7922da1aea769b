#include <gtest/gtest.h>

#include <string>

#include "app/TavroDDE.h"
#include "feed/Market.h"
#include "tests/TestSupport.h"

namespace {

class MarketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clearMarkets();
    addMarket("LSE", "LSE", 'R', 1);
    addMarket("NQ", "NASDAQ", 'D', 7);
  }
  void TearDown() override { clearMarkets(); }
};

TEST_F(MarketTest, WorkedExamples) {
  struct Case {
    const char* input;
    std::string (*function)(const char*);
    const char* expected;
  } cases[] = {
      {"lse_vod", makeRID, "L1^LSE^VOD"},
      {"lse_vod", makeSymRID, "SYM^LSE^VOD"},
      {"NASDAQ_MSFT", makeRID, "L1^NQ^MSFT^d"},
      {"NASDAQ_MSFT", makeSymRID, "SYM^NQ^MSFT"},
      {"L1^NQ^MSFT^d", makeSymbol, "NASDAQ_MSFT"},
      {"XYZ_ABC", makeRID, "ERROR^XYZ^ABC"},
      {"ERROR^XYZ^ABC", makeSymbol, "XYZ_ABC"},
      {"VOD", makeRID, "ERROR^VOD"},
      {"ERROR^VOD", makeSymbol, "VOD"},
      {"_LSE__VOD_X", makeRID, "L1^LSE^VOD"},
      {"LSE^VOD", makeRID, "L1^LSE^VOD"},
      {"SYM^LSE^vod", makeSymbol, "LSE_VOD"},
  };
  LogCapture quiet(0);
  for (const Case& c : cases) EXPECT_EQ(c.function(c.input), c.expected) << c.input;
}

TEST_F(MarketTest, LetterCaseOfTopicsDoesNotMatter) {
  for (const char* topic : {"lse_vod", "LSE_VOD", "Lse_Vod"}) {
    EXPECT_EQ(makeRID(topic), "L1^LSE^VOD");
    EXPECT_EQ(makeSymRID(topic), "SYM^LSE^VOD");
    EXPECT_EQ(makeSymbol(makeRID(topic).c_str()), "LSE_VOD");
  }
  // The canonical symbol maps back to the same identifiers.
  EXPECT_EQ(makeRID("LSE_VOD"), "L1^LSE^VOD");
  EXPECT_EQ(makeRID("NASDAQ_MSFT"), makeRID(makeSymbol("L1^NQ^MSFT^d").c_str()));
}

TEST_F(MarketTest, UnknownMarketIsLoggedAndGivesTheErrorForm) {
  LogCapture logs;
  EXPECT_EQ(makeRID("xyz_abc"), "ERROR^XYZ^ABC");
  EXPECT_TRUE(logs.contains("Can't find market (XYZ)"));
  EXPECT_TRUE(logs.contains(":makeRID "));
  logs.clear();
  EXPECT_EQ(makeSymRID("xyz_abc"), "ERROR^XYZ^ABC");
  EXPECT_TRUE(logs.contains("Can't find market (XYZ)"));
  logs.clear();
  EXPECT_EQ(makeRID("VOD"), "ERROR^VOD");  // no market named: no line
  EXPECT_EQ(logs.text(), "");
}

TEST_F(MarketTest, DisplaySymbolsWithUnderscoresOrLowerCaseCannotBeMatched) {
  addMarket("LX", "lower", 'R', 2);
  addMarket("US", "NY_SE", 'R', 3);
  LogCapture quiet(0);
  EXPECT_EQ(makeRID("lower_abc"), "ERROR^LOWER^ABC");
  EXPECT_EQ(makeRID("NY_SE_ABC"), "ERROR^NY^SE^ABC");
}

TEST_F(MarketTest, LongTopicsAreRefusedNeverOverrun) {
  LogCapture logs;
  std::string topic127 = "LSE_" + std::string(123, 'A');
  EXPECT_EQ(makeRID(topic127.c_str()), "");  // "L1^LSE^" + 123 does not fit 127
  EXPECT_TRUE(logs.contains("too long"));
  std::string fits = "LSE_" + std::string(120, 'A');
  EXPECT_EQ(makeRID(fits.c_str()), "L1^LSE^" + std::string(120, 'A'));
  EXPECT_EQ(makeSymRID(fits.c_str()), "");  // "SYM^LSE^" + 120 is one too many
  std::string topic128(128, 'B');
  EXPECT_EQ(makeRID(topic128.c_str()), "");
  std::string topic10000 = "LSE_" + std::string(10000, 'C');
  EXPECT_EQ(makeRID(topic10000.c_str()), "");
  EXPECT_EQ(makeSymRID(topic10000.c_str()), "");
  // The error form of an unknown market needs six more characters.
  std::string unknown122 = "Q_" + std::string(120, 'D');
  EXPECT_EQ(makeRID(unknown122.c_str()), "");
  std::string unknown121 = "Q_" + std::string(119, 'D');
  EXPECT_EQ(makeRID(unknown121.c_str()), "ERROR^Q^" + std::string(119, 'D'));
  EXPECT_EQ(makeSymbol(("L1^LSE^" + std::string(200, 'E')).c_str()), "");
}

TEST_F(MarketTest, UnknownMarketInAReceivedIdentifierIsLoggedNotFatal) {
  LogCapture logs;
  EXPECT_EQ(makeSymbol("L1^ZZ^ABC"), "");
  EXPECT_TRUE(logs.contains("unknown market (ZZ)"));
  EXPECT_EQ(makeSymbol(""), "");
  EXPECT_EQ(makeSymbol(nullptr), "");
}

TEST_F(MarketTest, DelaySuffixOnlyOnLevelOneOfDelayedMarkets) {
  EXPECT_EQ(makeRID("nasdaq_aapl"), "L1^NQ^AAPL^d");
  EXPECT_EQ(makeSymRID("nasdaq_aapl"), "SYM^NQ^AAPL");
  EXPECT_EQ(makeRID("lse_barc"), "L1^LSE^BARC");
}

TEST_F(MarketTest, LaterLinesReplaceEarlierMarkets) {
  addMarket("LSE", "LONDON", 'D', 9);
  ASSERT_EQ(marketMap.count("LSE"), 1u);
  EXPECT_EQ(marketMap["LSE"]->getDisplaySymbol(), "LONDON");
  EXPECT_EQ(marketMap["LSE"]->getPermission(), 'D');
  EXPECT_EQ(marketMap["LSE"]->getID(), 9);
  EXPECT_EQ(marketSymbols["LONDON"], "LSE");
  EXPECT_EQ(makeRID("london_vod"), "L1^LSE^VOD^d");
}

TEST_F(MarketTest, MarketListTakesEveryIdThatFitsAnInt) {
  struct Case {
    const char* line;
    bool taken;
    int id;
  } cases[] = {
      {"BIG:R:BIG:2000000", true, 2000000},
      {"NEG:R:NEG:-1000001", true, -1000001},
      {"MAX:R:MAX:2147483647", true, 2147483647},
      {"MIN:R:MIN:-2147483648", true, -2147483647 - 1},
      {"TAIL:R:TAIL:42abc", true, 42},  // read as "%d" reads it
      {"OVER:R:OVER:2147483648", false, 0},
      {"UNDER:R:UNDER:-2147483649", false, 0},
      {"HUGE:R:HUGE:99999999999999999999", false, 0},
      {"NONE:R:NONE:x", false, 0},
  };
  LogCapture quiet(0);
  for (const Case& c : cases) {
    std::string line = c.line;
    EXPECT_EQ(parseMarketList(line.data(), line.size()), c.taken ? 1 : 0) << c.line;
    std::string symbol = line.substr(0, line.find(':'));
    ASSERT_EQ(marketMap.count(symbol), c.taken ? 1u : 0u) << c.line;
    if (!c.taken) continue;
    EXPECT_EQ(marketMap[symbol]->getID(), c.id) << c.line;
    // A topic on the market resolves.
    EXPECT_EQ(makeRID((symbol + "_vod").c_str()), "L1^" + symbol + "^VOD") << c.line;
  }
}

}  // namespace

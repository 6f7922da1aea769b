// The RTD topics of one spreadsheet: what a connect answers, which changes
// reach a refresh and when the spreadsheet is told, and how topics keep
// their instruments open beside DDE conversations.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "dde/DdeFormats.h"
#include "dde/RtdTopics.h"
#include "dde/Stock.h"
#include "feed/Market.h"
#include "feed/QelUpdate.h"
#include "feed/StdFID.h"
#include "feed/TradeCodes.h"
#include "support/Log.h"
#include "tests/RecordText.h"
#include "tests/ServerHarness.h"
#include "tests/TestSupport.h"

namespace {

const int BID = 4, OFFER = 5, LAST_TRADE_TIME = 42, NAME = 67, LAST_TRADE_TYPE = 43;

struct CountingListener : RtdUpdateListener {
  void rtdUpdated() override { ++calls; }
  int calls = 0;
};

using Changes = std::vector<std::pair<long, RtdValue>>;

class RtdTopicsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
    InitializeFIDs();
    initTradeCodes();
    addMarket("LSE", "LSE", 'R', 0);
    RtdTopics::setMarketsKnown(true);
  }
  void TearDown() override {
    topics.terminate();
    stocks.clear();
    clearMarkets();
  }
  // One level-1 update of `fields` applied to the instrument.
  static void update(const char* symbol, const std::vector<std::pair<QelFID, std::string>>& fields) {
    std::string bytes = updateRow(fields);
    QelUpdate reader;
    reader.setBuffer(&bytes[0], static_cast<unsigned>(bytes.size()));
    findOrCreateStock(symbol)->image(&reader);
  }
  RtdValue connect(long id, const std::string& topic, const std::string& item) {
    return topics.connect(id, {topic, item});
  }

  CountingListener listener;
  RtdTopics topics{&listener};
};

const RtdValue ERROR_VALUE = RtdValue::ofText("ERROR");

TEST_F(RtdTopicsTest, ConnectAnswersAsARequestWouldInTheCellsOfXlTable) {
  update("LSE_VOD", {{BID, "12.5"}, {NAME, "Vodafone Group"}, {LAST_TRADE_TIME, "1709283907"},
                     {LAST_TRADE_TYPE, "0"}});
  const std::string tooLong(128, 'x');
  struct Case {
    const char* topic;
    const char* item;
    RtdValue value;
  } cases[] = {
      {"lse_vod", "BID", RtdValue::ofNumber(12.5)},
      {"LSE_VOD", "bid", RtdValue::ofNumber(12.5)},  // item names in any case
      {"lse_vod", "NAME", RtdValue::ofText("Vodafone Group")},
      {"lse_vod", "LAST_TRADE_TIME", RtdValue::ofText("09:05:07")},
      {"lse_vod", "LAST_TRADE_TYPE", RtdValue::ofText(tradeCodeString(0, TRADE_CODE_TRADE_TYPE, 0))},
      {"lse_vod", "OFFER", RtdValue::ofNumber(0)},  // a field the open instrument lacks is "0"
      {"lse_vod", "CURRENCY", RtdValue::ofText("0")},
      {"lse_bp", "BID", RtdValue::ofNumber(0)},     // the placeholder " " until the first image
      {"lse_bp", "NAME", RtdValue::ofText(" ")},
      {"lse_vod", "NO_SUCH_FIELD", ERROR_VALUE},
      {"xyz_abc", "BID", ERROR_VALUE},  // a market the account does not have
      {"vod", "BID", ERROR_VALUE},      // no instrument code
      {tooLong.c_str(), "BID", ERROR_VALUE},
  };
  long id = 1;
  for (const Case& c : cases) EXPECT_EQ(connect(id++, c.topic, c.item), c.value) << c.topic << " " << c.item;
  EXPECT_EQ(topics.connect(id++, {"lse_vod"}), ERROR_VALUE);
  EXPECT_EQ(topics.connect(id++, {"lse_vod", "BID", "extra"}), ERROR_VALUE);
  EXPECT_EQ(stocks.count("XYZ_ABC"), 0u);  // errors at once open nothing
  EXPECT_EQ(listener.calls, 0);
}

TEST_F(RtdTopicsTest, TheSpreadsheetIsToldOnceUntilItRefreshes) {
  connect(1, "lse_vod", "BID");
  connect(2, "lse_vod", "NAME");
  update("LSE_VOD", {{BID, "12.5"}});
  update("LSE_VOD", {{BID, "12.75"}, {NAME, "Vodafone"}});
  EXPECT_EQ(listener.calls, 1);
  Changes changes = topics.refresh();
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0], std::make_pair(1L, RtdValue::ofNumber(12.75)));  // the latest value only
  EXPECT_EQ(changes[1], std::make_pair(2L, RtdValue::ofText("Vodafone")));
  EXPECT_TRUE(topics.refresh().empty());
  update("LSE_VOD", {{BID, "13"}});
  EXPECT_EQ(listener.calls, 2);
  EXPECT_EQ(topics.refresh(), (Changes{{1L, RtdValue::ofNumber(13)}}));
}

TEST_F(RtdTopicsTest, ARefreshHoldsOnlyTopicsWhoseCellChanged) {
  connect(1, "lse_vod", "BID");
  update("LSE_VOD", {{BID, "12.5"}});
  topics.refresh();
  update("LSE_VOD", {{OFFER, "13"}});  // another field: nothing to tell
  EXPECT_EQ(listener.calls, 1);
  update("LSE_VOD", {{BID, "12.6"}});
  update("LSE_VOD", {{BID, "12.50"}});  // back where it was, in another spelling
  EXPECT_EQ(listener.calls, 2);
  EXPECT_TRUE(topics.refresh().empty());
}

TEST_F(RtdTopicsTest, ARefusedInstrumentTurnsToErrorAndStaysSo) {
  EXPECT_EQ(connect(1, "lse_nosuch", "BID"), RtdValue::ofNumber(0));
  findOrCreateStock("LSE_NOSUCH")->error();
  EXPECT_EQ(listener.calls, 1);
  EXPECT_EQ(topics.refresh(), (Changes{{1L, ERROR_VALUE}}));
  EXPECT_EQ(connect(2, "lse_nosuch", "OFFER"), ERROR_VALUE);  // known bad: at once
}

TEST_F(RtdTopicsTest, DisconnectedTopicsAreNotRefreshedAndReleaseTheirInstrument) {
  connect(1, "lse_vod", "BID");
  connect(2, "lse_vod", "OFFER");
  Stock* vod = getStock("LSE_VOD");
  EXPECT_EQ(vod->watchers, 2u);
  update("LSE_VOD", {{BID, "1"}, {OFFER, "2"}});
  topics.disconnect(1);
  EXPECT_EQ(topics.refresh(), (Changes{{2L, RtdValue::ofNumber(2)}}));
  EXPECT_EQ(vod->watchers, 1u);
  topics.terminate();
  EXPECT_EQ(vod->watchers, 0u);
  EXPECT_EQ(topics.size(), 0u);
  update("LSE_VOD", {{BID, "3"}});
  EXPECT_EQ(listener.calls, 1);
}

TEST_F(RtdTopicsTest, TopicsBeforeSignInShowThePlaceholderAndResolveAfterIt) {
  RtdTopics::setMarketsKnown(false);
  EXPECT_EQ(connect(1, "lse_vod", "NAME"), RtdValue::ofText(" "));
  EXPECT_EQ(connect(2, "lse_vod", "NOPE"), ERROR_VALUE);
  EXPECT_EQ(connect(3, "xyz_abc", "BID"), RtdValue::ofNumber(0));
  EXPECT_TRUE(stocks.empty());
  RtdTopics::setMarketsKnown(true);
  EXPECT_EQ(getStock("LSE_VOD")->watchers, 1u);
  EXPECT_EQ(listener.calls, 1);
  EXPECT_EQ(topics.refresh(), (Changes{{3L, ERROR_VALUE}}));
  update("LSE_VOD", {{NAME, "Vodafone"}});
  EXPECT_EQ(topics.refresh(), (Changes{{1L, RtdValue::ofText("Vodafone")}}));
}

// With the feed on loopback: a topic keeps its instrument open beside DDE
// conversations, and the tray tip counts it.
class RtdTopicsServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(h.start()); }
  ServerHarness h;
  CountingListener listener;
};

TEST_F(RtdTopicsServerTest, ATopicKeepsItsInstrumentOpenUntilTheLastWatcherGoes) {
  RtdTopics topics(&listener);
  EXPECT_EQ(topics.connect(1, {"lse_vod", "BID"}), RtdValue::ofNumber(0));
  Stock* vod = getStock("LSE_VOD");
  ASSERT_TRUE(h.runUntil([&] { return listener.calls > 0 && vod->isOpen(); }));
  Changes changes = topics.refresh();
  ASSERT_EQ(changes.size(), 1u);
  // The number an XlTable table of the value carries.
  std::string table = renderXlTable(vod, vod->values[BID].c_str(), BID);
  ASSERT_EQ(table.size(), 20u);
  double number;
  std::memcpy(&number, table.data() + 12, sizeof number);
  EXPECT_EQ(changes[0].second, RtdValue::ofNumber(number));
  EXPECT_TRUE(h.runUntil([&] { return std::string(trayMessage) == "1 active stocks"; }));

  std::uint32_t conv = h.conversation("lse_vod");
  ASSERT_TRUE(h.client.terminate(conv));
  ASSERT_TRUE(h.runUntil([] { return conversationMap.empty(); }));
  h.runUntil([] { return false; }, 200);
  EXPECT_TRUE(vod->isOpen());
  topics.disconnect(1);
  EXPECT_TRUE(h.runUntil([&] { return !vod->isOpen() && std::string(trayMessage) == "No active stocks"; }));
}

}  // namespace

// The whole server in one process and on one event loop: the login flow
// against a feed simulator, the DDE service, and a DDE client on the local
// socket, as a spreadsheet would use it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/ServerHarness.h"
#include "tests/TestSupport.h"
#include "tools/ddeclient/XlTable.h"

namespace {

const DdeBridgeFormat TEXT = DdeBridgeFormat::standard(CF_TEXT);
const DdeBridgeFormat TABLE = DdeBridgeFormat::registered("XlTable");

std::string cText(const std::string& data) { return std::string(data.c_str()); }

class DdeServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness.options.rate = rate;
    ASSERT_TRUE(harness.start()) << harness.client.lastError();
  }
  bool runUntil(const std::function<bool()>& done, int ms = 5000) { return harness.runUntil(done, ms); }
  std::uint32_t conversation(const std::string& topic) { return harness.conversation(topic); }
  DdeReply request(std::uint32_t conv, const std::string& item, const DdeBridgeFormat& format, std::string& out) {
    return harness.request(conv, item, format, out);
  }

  double rate = 20;
  ServerHarness harness;
  DdeClient& client = harness.client;
  std::unique_ptr<FeedSim>& sim = harness.sim;
};

TEST_F(DdeServerTest, FirstRequestIsThePlaceholderThenTheValue) {
  std::uint32_t conv = conversation("lse_vod");
  ASSERT_EQ(conversationMap.size(), 1u);
  Stock* vod = getStock("LSE_VOD");
  ASSERT_NE(vod, nullptr);
  std::string value;
  ASSERT_EQ(request(conv, "BID", TEXT, value), DdeReply::Ok);
  EXPECT_EQ(cText(value), " ");
  ASSERT_TRUE(runUntil([&] { return vod->isOpen() && vod->values.count(4); }));
  ASSERT_EQ(request(conv, "BID", TEXT, value), DdeReply::Ok);
  EXPECT_EQ(cText(value), vod->values[4]);
  ASSERT_EQ(request(conv, "BID", TABLE, value), DdeReply::Ok);
  XlTable table;
  std::string error;
  ASSERT_TRUE(decodeXlTable(value, table, error)) << error;
  ASSERT_EQ(table.cells.size(), 1u);
  EXPECT_EQ(table.cells[0].type, XlCell::Float);
  EXPECT_DOUBLE_EQ(table.cells[0].number, std::stod(vod->values[4]));
  ASSERT_EQ(request(conv, "NAME", TABLE, value), DdeReply::Ok);
  ASSERT_TRUE(decodeXlTable(value, table, error)) << error;
  EXPECT_EQ(table.cells[0].type, XlCell::String);
  EXPECT_FALSE(table.cells[0].text.empty());
  // A field the record never carried reads "0" while the record is open.
  ASSERT_EQ(request(conv, "UNCROSSING_PRICE", TEXT, value), DdeReply::Ok);
  EXPECT_EQ(cText(value), "0");
}

TEST_F(DdeServerTest, UnknownItemsAndFormatsAreRefused) {
  std::uint32_t conv = conversation("lse_vod");
  std::string value;
  EXPECT_EQ(request(conv, "NOT_A_FIELD", TEXT, value), DdeReply::Refused);
  // The library's string handles ignore letter case, so "bid" names the BID handle.
  EXPECT_EQ(request(conv, "bid", TEXT, value), DdeReply::Ok);
  EXPECT_EQ(request(conv, "BID", DdeBridgeFormat::standard(CF_UNICODETEXT), value), DdeReply::Refused);
  EXPECT_EQ(client.adviseStart(conv, "NOT_A_FIELD", TEXT), DdeReply::Refused);
  EXPECT_EQ(client.adviseStart(conv, "BID", DdeBridgeFormat::standard(CF_UNICODETEXT)), DdeReply::Refused);
}

TEST_F(DdeServerTest, AdviseLoopsFollowTheFeed) {
  std::uint32_t conv = conversation("LSE_VOD");
  ASSERT_EQ(client.adviseStart(conv, "BID", TEXT), DdeReply::Ok);
  ASSERT_EQ(client.adviseStart(conv, "LAST_TRADE_TIME", TABLE), DdeReply::Ok);
  Stock* vod = getStock("lse_vod");
  int bids = 0, times = 0;
  ASSERT_TRUE(runUntil([&] {
    DdeAdvise advise;
    while (client.nextAdvise(advise, 0)) {
      if (advise.item == "BID") {
        ++bids;
        EXPECT_EQ(advise.format, TEXT);
        EXPECT_FALSE(cText(advise.data).empty());
      } else if (advise.item == "LAST_TRADE_TIME") {
        ++times;
        XlTable table;
        std::string error;
        EXPECT_TRUE(decodeXlTable(advise.data, table, error)) << error;
        if (!table.cells.empty()) {
          EXPECT_EQ(table.cells[0].text.size(), 8u);  // hh:mm:ss
        }
      }
    }
    return bids >= 3 && times >= 1;
  })) << bids << " " << times << " updates sent " << sim->stats().sent[QELMSG_UPDATE] << " " << sim->summary();
  // The latest value the client saw is the one in the cache.
  std::string value;
  ASSERT_EQ(request(conv, "BID", TEXT, value), DdeReply::Ok);
  EXPECT_EQ(cText(value), vod->values[4]);
  EXPECT_EQ(std::string(trayMessage), "1 active stocks");
}

TEST_F(DdeServerTest, StoppingTheLastLoopClosesTheRecordAndStartingReopens) {
  std::uint32_t conv = conversation("lse_barc");
  Stock* barc = getStock("LSE_BARC");
  ASSERT_TRUE(runUntil([&] { return barc->isOpen(); }));
  ASSERT_EQ(client.adviseStart(conv, "BID", TEXT), DdeReply::Ok);
  ASSERT_EQ(client.adviseStart(conv, "BID", TEXT), DdeReply::Ok);  // still one subscription
  ASSERT_EQ(conversationMap.size(), 1u);
  EXPECT_EQ(conversationMap.begin()->second->subscriptions.size(), 1u);
  ASSERT_EQ(client.adviseStop(conv, "BID", TEXT), DdeReply::Ok);
  ASSERT_TRUE(runUntil([&] { return sink->getRecordStatus(barc->rid.c_str()).status == QELSTATUS_CLOSED; }));
  ASSERT_EQ(client.adviseStart(conv, "OFFER", TEXT), DdeReply::Ok);
  ASSERT_TRUE(runUntil([&] { return barc->isOpen(); }));
}

TEST_F(DdeServerTest, DisconnectOfOneOfTwoConversationsKeepsTheRecordOpen) {
  std::uint32_t first = conversation("lse_hsba");
  std::uint32_t second = conversation("LSE_HSBA");
  Stock* hsba = getStock("LSE_HSBA");
  ASSERT_TRUE(runUntil([&] { return hsba->isOpen(); }));
  EXPECT_EQ(hsba->conversations.size(), 2u);
  ASSERT_TRUE(client.terminate(first));
  ASSERT_TRUE(runUntil([&] { return hsba->conversations.size() == 1; }));
  EXPECT_TRUE(hsba->isOpen());
  ASSERT_TRUE(client.terminate(second));
  ASSERT_TRUE(runUntil([&] { return !hsba->isOpen() && conversationMap.empty(); }));
}

TEST_F(DdeServerTest, UnknownInstrumentBecomesInvalidAndAnswersError) {
  std::uint32_t conv = conversation("lse_nosuch");
  ASSERT_EQ(client.adviseStart(conv, "BID", TEXT), DdeReply::Ok);
  Stock* bad = getStock("LSE_NOSUCH");
  ASSERT_TRUE(runUntil([&] { return bad->invalid; }));
  DdeAdvise advise;
  ASSERT_TRUE(runUntil([&] { return client.nextAdvise(advise, 0); }));
  EXPECT_EQ(cText(advise.data), "ERROR");
  std::string value;
  EXPECT_EQ(request(conv, "BID", TEXT, value), DdeReply::Refused);
  // A loop started after the refusal still gets its ERROR.
  ASSERT_EQ(client.adviseStart(conv, "OFFER", TEXT), DdeReply::Ok);
  DdeAdvise late;
  ASSERT_TRUE(runUntil([&] { return client.nextAdvise(late, 0); }));
  EXPECT_EQ(late.item, "OFFER");
  EXPECT_EQ(cText(late.data), "ERROR");
  // A topic without a known market is an ERROR record the feed refuses too.
  std::uint32_t other = conversation("xyz_abc");
  ASSERT_EQ(client.adviseStart(other, "BID", TEXT), DdeReply::Ok);
  ASSERT_TRUE(runUntil([&] { return getStock("XYZ_ABC")->invalid; }));
}

TEST_F(DdeServerTest, OverlongTopicsAreRefusedNotCut) {
  std::uint32_t conv = 0;
  std::string longTopic = "lse_" + std::string(200, 'v');
  EXPECT_NE(client.connect("TAVRO", longTopic, conv), DdeReply::Ok);
  EXPECT_TRUE(conversationMap.empty());
  EXPECT_TRUE(stocks.empty());
}

TEST_F(DdeServerTest, WildcardConnectsAreAnsweredOnlyForSystem) {
  std::vector<DdeBridgePair> pairs;
  EXPECT_NE(client.wildConnect("", "", pairs), DdeReply::Ok);
  EXPECT_NE(client.wildConnect("", "lse_vod", pairs), DdeReply::Ok);
  EXPECT_NE(client.wildConnect("TAVRO", "", pairs), DdeReply::Ok);
  ASSERT_EQ(client.wildConnect("", "System", pairs), DdeReply::Ok);
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].service, "TAVRO");
  EXPECT_EQ(pairs[0].topic, "System");
}

TEST_F(DdeServerTest, OneNotificationPerChangedUpdateAndNoneWhenNothingChanged) {
  std::uint32_t conv = conversation("lse_bp");
  Stock* bp = getStock("LSE_BP");
  ASSERT_TRUE(runUntil([&] { return bp->isOpen(); }));
  // Stop the feed's own updates so only ours arrive.
  sim.reset();
  ASSERT_EQ(client.adviseStart(conv, "BID", TEXT), DdeReply::Ok);
  ASSERT_EQ(client.adviseStart(conv, "OFFER", TEXT), DdeReply::Ok);
  DdeAdvise drained;
  while (client.nextAdvise(drained, 50)) {
  }
  char buffer[256];
  auto apply = [&](const char* bid) {
    QelUpdate writer;
    writer.setWorkingBuffer(buffer, sizeof buffer);
    writer.selectRow(0);
    QelField* f = QelField::create(4, bid, static_cast<std::uint32_t>(std::strlen(bid)));
    writer.setField(f);
    QelField::release(f);
    QelUpdate reader;
    reader.setBuffer(buffer, writer.getDataLength());
    bp->image(&reader);
  };
  apply("471.25");
  int received = 0;
  while (client.nextAdvise(drained, 200)) ++received;
  EXPECT_EQ(received, 2);  // one post, served once per loop
  apply("471.25");
  received = 0;
  while (client.nextAdvise(drained, 200)) ++received;
  EXPECT_EQ(received, 0);
}

}  // namespace

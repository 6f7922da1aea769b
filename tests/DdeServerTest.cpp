// The whole server in one process and on one event loop: the login flow
// against a feed simulator, the DDE service, and a DDE client on the local
// socket, as a spreadsheet would use it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/ServerHarness.h"
#include "tests/TestSupport.h"
#include "tools/ddeclient/XlTable.h"

namespace {

const DdeBridgeFormat TEXT = DdeBridgeFormat::standard(CF_TEXT);
const DdeBridgeFormat TABLE = DdeBridgeFormat::registered("XlTable");

std::string cText(const std::string& data) { return std::string(data.c_str()); }

// Applies an update of one field to `stock`, as the feed's frame would.
void applyField(Stock* stock, QelFID fid, const std::string& text) {
  std::string buffer(text.size() + 64, '\0');
  QelUpdate writer;
  writer.setWorkingBuffer(&buffer[0], static_cast<unsigned>(buffer.size()));
  writer.selectRow(0);
  QelField* f = QelField::create(fid, text.data(), static_cast<std::uint32_t>(text.size()));
  writer.setField(f);
  QelField::release(f);
  QelUpdate reader;
  reader.setBuffer(&buffer[0], writer.getDataLength());
  stock->image(&reader);
}

// Every advise that arrives within `ms` of quiet, keyed by conversation.
std::multimap<std::uint32_t, DdeAdvise> drainAdvises(DdeClient& client, int ms = 200) {
  std::multimap<std::uint32_t, DdeAdvise> got;
  DdeAdvise advise;
  while (client.nextAdvise(advise, ms)) got.emplace(advise.conv, advise);
  return got;
}

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
  // The same item in a second format is a loop of its own: stopping one leaves the other.
  ASSERT_EQ(client.adviseStart(conv, "BID", TABLE), DdeReply::Ok);
  ASSERT_EQ(client.adviseStop(conv, "BID", TEXT), DdeReply::Ok);
  drainAdvises(client, 0);
  DdeAdvise advise;
  ASSERT_TRUE(runUntil([&] { return client.nextAdvise(advise, 0) && advise.format == TABLE; }));
  EXPECT_TRUE(barc->isOpen());
  ASSERT_EQ(client.adviseStop(conv, "BID", TABLE), DdeReply::Ok);
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
  // A topic without a market part has the empty symbol, and its loops get ERROR too.
  drainAdvises(client, 0);
  std::uint32_t bare = conversation("_vod");
  ASSERT_EQ(client.adviseStart(bare, "BID", TEXT), DdeReply::Ok);
  DdeAdvise bareAdvise;
  ASSERT_TRUE(runUntil([&] { return client.nextAdvise(bareAdvise, 0) && bareAdvise.conv == bare; }));
  EXPECT_EQ(cText(bareAdvise.data), "ERROR");
}

TEST_F(DdeServerTest, EveryLoopGetsItsOwnInstrumentUnderEverySpellingOfItsTopic) {
  std::vector<std::uint32_t> vodConvs = {conversation("lse_vod"), conversation("LSE^VOD"), conversation("_lse__vod")};
  std::uint32_t bpConv = conversation("lse_bp");
  Stock* vod = getStock("LSE_VOD");
  Stock* bp = getStock("LSE_BP");
  ASSERT_TRUE(runUntil([&] { return vod->isOpen() && bp->isOpen(); }));
  sim.reset();  // only our updates from here
  for (std::uint32_t conv : vodConvs) ASSERT_EQ(client.adviseStart(conv, "BID", TEXT), DdeReply::Ok);
  ASSERT_EQ(client.adviseStart(bpConv, "BID", TEXT), DdeReply::Ok);
  drainAdvises(client, 50);
  applyField(vod, 4, "101.5");
  auto got = drainAdvises(client);
  ASSERT_EQ(got.size(), 3u);
  for (std::uint32_t conv : vodConvs) {
    ASSERT_EQ(got.count(conv), 1u) << conv;
    EXPECT_EQ(cText(got.find(conv)->second.data), "101.5");
  }
  applyField(bp, 4, "7.25");
  got = drainAdvises(client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got.begin()->first, bpConv);
  EXPECT_EQ(cText(got.begin()->second.data), "7.25");
}

TEST_F(DdeServerTest, ValueTooLongForTheTransportIsErrorForRequestAndLoopAlike) {
  std::uint32_t conv = conversation("lse_bp");
  Stock* bp = getStock("LSE_BP");
  ASSERT_TRUE(runUntil([&] { return bp->isOpen(); }));
  sim.reset();
  ASSERT_EQ(client.adviseStart(conv, "NAME", TEXT), DdeReply::Ok);
  drainAdvises(client, 50);
  // CF_TEXT carries the terminator: this text is the largest deliverable value.
  const std::string fits(DDE_MAX_VALUE_BYTES - 1, 'n');
  applyField(bp, 67, fits);
  auto got = drainAdvises(client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(cText(got.begin()->second.data), fits);
  std::string value;
  ASSERT_EQ(request(conv, "NAME", TEXT, value), DdeReply::Ok);
  EXPECT_EQ(cText(value), fits);
  applyField(bp, 67, fits + "n");
  got = drainAdvises(client);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(cText(got.begin()->second.data), "ERROR");
  ASSERT_EQ(request(conv, "NAME", TEXT, value), DdeReply::Ok);
  EXPECT_EQ(cText(value), "ERROR");
}

TEST_F(DdeServerTest, TopicsTooLongOrOutsideWindows1252AreRefusedNotCut) {
  std::uint32_t conv = 0;
  for (const std::string& topic : {"lse_" + std::string(200, 'v'), std::string("lse_vod_\xE4\xB8\xAD")}) {
    EXPECT_NE(client.connect("TAVRO", topic, conv), DdeReply::Ok) << topic;
    EXPECT_TRUE(conversationMap.empty());
    EXPECT_TRUE(stocks.empty());
  }
  // A Windows-1252 character (é, €) is the client's topic itself: it is served
  // (a third part of a topic names nothing, so this is lse_vod).
  for (const char* topic : {"lse_vod_\xC3\xA9", "lse_vod_\xE2\x82\xAC"}) {
    conv = conversation(topic);
    ASSERT_EQ(client.adviseStart(conv, "BID", TEXT), DdeReply::Ok) << topic;
    DdeAdvise advise;
    ASSERT_TRUE(runUntil([&] { return client.nextAdvise(advise, 0); })) << topic;
    EXPECT_EQ(cText(advise.data), getStock("LSE_VOD")->values[4]) << topic;
  }
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

TEST_F(DdeServerTest, LoopsAreSentOnlyWhatTheirClientsWouldSeeChange) {
  std::uint32_t conv = conversation("lse_bp");
  Stock* bp = getStock("LSE_BP");
  ASSERT_TRUE(runUntil([&] { return bp->isOpen(); }));
  // Stop the feed's own updates so only ours arrive.
  sim.reset();
  const QelFID BID = 4, LAST_TRADE_TIME = 42;
  const QelFID UNCROSSING = static_cast<QelFID>(GetFID("UNCROSSING_PRICE"));
  ASSERT_EQ(bp->values.count(static_cast<int>(UNCROSSING)), 0u);
  for (const char* item : {"BID", "OFFER", "LAST_TRADE_TIME", "UNCROSSING_PRICE"})
    ASSERT_EQ(client.adviseStart(conv, item, TEXT), DdeReply::Ok);
  ASSERT_EQ(client.adviseStart(conv, "BID", TABLE), DdeReply::Ok);
  drainAdvises(client, 50);
  struct Step {
    QelFID fid;
    std::string text;
    std::vector<std::string> sent;  // item, and "+" for the table loop
  };
  for (const Step& step : std::vector<Step>{
           // A loop's first data follow any change, "ERROR" for a field without a value.
           {BID, "471.25", {"BID", "BID+", "LAST_TRADE_TIME", "OFFER", "UNCROSSING_PRICE"}},
           {BID, "471.25", {}},
           {BID, "471.5", {"BID", "BID+"}},
           {BID, "471.50", {"BID"}},  // the same number in a table
           {LAST_TRADE_TIME, "1709283907", {"LAST_TRADE_TIME"}},
           {LAST_TRADE_TIME, "1709283907.5", {}},  // the same second
           {UNCROSSING, "3", {"UNCROSSING_PRICE"}},
       }) {
    applyField(bp, step.fid, step.text);
    std::vector<std::string> sent;
    for (const auto& got : drainAdvises(client, 50)) {
      sent.push_back(got.second.item + (got.second.format == TABLE ? "+" : ""));
      if (got.second.item == "UNCROSSING_PRICE" && step.fid == BID) {
        EXPECT_EQ(cText(got.second.data), "ERROR");
      }
    }
    std::sort(sent.begin(), sent.end());
    EXPECT_EQ(sent, step.sent) << step.fid << " " << step.text;
  }
}

}  // namespace

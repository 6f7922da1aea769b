// The server against a misbehaving feed and misbehaving DDE clients: it stays
// up (or ends exactly after its notice), its cache holds only what the feed
// sent, and nothing it keeps grows without bound.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/ServerHarness.h"
#include "tests/TestSupport.h"

namespace {

const DdeBridgeFormat TEXT = DdeBridgeFormat::standard(CF_TEXT);

bool looksLikePrice(const std::string& v) {
  if (v.empty()) return false;
  for (char c : v)
    if (!(c == '.' || c == '-' || (c >= '0' && c <= '9'))) return false;
  return true;
}

TEST(FaultTest, EveryFrameSplitIntoSingleBytes) {
  ServerHarness h;
  h.options.splitBytes = true;
  ASSERT_TRUE(h.start());
  std::uint32_t conv = h.conversation("lse_vod");
  ASSERT_EQ(h.client.adviseStart(conv, "BID", TEXT), DdeReply::Ok);
  Stock* vod = getStock("LSE_VOD");
  ASSERT_TRUE(h.runUntil([&] { return vod->isOpen() && vod->values.count(4); }));
  EXPECT_TRUE(looksLikePrice(vod->values[4]));
  EXPECT_FALSE(h.loop.quitPosted());
}

TEST(FaultTest, TruncatedUpdateAppliesOnlyWhatArrivedWhole) {
  ServerHarness h;
  h.options.truncatedUpdate = true;
  h.options.rate = 50;
  ASSERT_TRUE(h.start());
  h.conversation("lse_barc");
  Stock* barc = getStock("LSE_BARC");
  ASSERT_TRUE(h.runUntil([&] { return barc->isOpen(); }));
  ASSERT_TRUE(h.runUntil([&] { return h.sim->stats().sent[QELMSG_UPDATE] >= 5; }));
  h.runUntil([] { return false; }, 200);
  // Every value in the cache is one a field carried whole: no cut-off text.
  for (int fid : {1, 2, 3, 4, 5, 6})
    if (barc->values.count(fid)) {
      EXPECT_TRUE(looksLikePrice(barc->values[fid])) << fid << " = " << barc->values[fid];
    }
  EXPECT_TRUE(sink->isConnected());
}

TEST(FaultTest, ConnectionDroppedMidStreamEndsAfterTheNotice) {
  ServerHarness h;
  h.options.dropAfterFrames = 6;  // after the login answer, during the first images
  h.options.rate = 50;
  ASSERT_TRUE(h.start());
  h.conversation("lse_vod");
  ASSERT_TRUE(h.runUntil([&] { return h.loop.quitPosted(); }));
  EXPECT_EQ(h.shell.boxes, std::vector<std::string>({"TAVRO: Connection to TAVRO has been lost."}));
}

TEST(FaultTest, StalledServerNeitherBlocksNorGrowsTheQueueWithoutBound) {
  ServerHarness h;
  h.options.stall = true;
  ASSERT_TRUE(h.start());
  for (int i = 0; i < 200; ++i) sink->sendPing();
  h.runUntil([] { return false; }, 300);
  EXPECT_TRUE(sink->isConnected());
  // Pings are 9 bytes; whatever the kernel did not take waits in a bounded queue.
  EXPECT_LE(sink->queuedChunks(), SocketClient::MAX_WRITE_BUFFER_LENGTH);
  std::uint32_t conv = h.conversation("lse_hsba");
  std::string value;
  EXPECT_EQ(h.request(conv, "BID", TEXT, value), DdeReply::Ok);  // the DDE side keeps answering
  EXPECT_EQ(std::string(value.c_str()), " ");
  // The snapshot never comes; the conversation that waited for it leaves nothing behind.
  Stock* hsba = getStock("LSE_HSBA");
  ASSERT_NE(hsba, nullptr);
  EXPECT_EQ(hsba->requests.size(), 1u);
  ASSERT_TRUE(h.client.terminate(conv));
  ASSERT_TRUE(h.runUntil([] { return conversationMap.empty(); }));
  EXPECT_TRUE(hsba->requests.empty());
}

TEST(FaultTest, HugeTopicsAndItemsAreRefused) {
  ServerHarness h;
  ASSERT_TRUE(h.start());
  std::string topic(10000, 't');
  std::uint32_t conv = 0;
  DdeReply reply = h.client.connect("TAVRO", topic, conv);
  EXPECT_NE(reply, DdeReply::Ok);
  EXPECT_TRUE(stocks.empty());
  // The client library itself may refuse to send it; a fresh connection still works.
  if (!h.client.isOpen()) {
    ASSERT_TRUE(h.client.open("TAVRO"));
  }
  std::uint32_t ok = h.conversation("lse_vod");
  std::string value;
  EXPECT_NE(h.request(ok, std::string(10000, 'i'), TEXT, value), DdeReply::Ok);
  if (!h.client.isOpen()) {
    ASSERT_TRUE(h.client.open("TAVRO"));
  }
  ok = h.conversation("lse_vod");
  EXPECT_EQ(h.request(ok, "BID", TEXT, value), DdeReply::Ok);
}

TEST(FaultTest, FiveHundredClientsComeAndGo) {
  ServerHarness h;
  ASSERT_TRUE(h.start());
  for (int i = 0; i < 500; ++i) {
    DdeClient c;
    c.setIdle([&] { h.loop.runOnce(1); });
    ASSERT_TRUE(c.open("TAVRO")) << i;
    std::uint32_t conv = 0;
    ASSERT_EQ(c.connect("TAVRO", i % 2 ? "lse_vod" : "nasdaq_msft", conv), DdeReply::Ok) << i;
    if (i % 3 == 0) {
      ASSERT_EQ(c.adviseStart(conv, "BID", TEXT), DdeReply::Ok);
    }
    c.close();
    h.loop.runOnce(0);
  }
  ASSERT_TRUE(h.runUntil([] { return conversationMap.empty(); }));
  EXPECT_EQ(stocks.size(), 2u);
  for (auto& entry : stocks) EXPECT_TRUE(entry.second.conversations.empty()) << entry.first;
  // With no one watching, both records are closed on the feed.
  ASSERT_TRUE(h.runUntil([] { return sink->numRecords() == 0; }));
}

TEST(FaultTest, ClientThatStopsReadingDoesNotHoldBackOthers) {
  ServerHarness h;
  h.options.rate = 100;
  ASSERT_TRUE(h.start());
  // A raw client that starts a loop and then never reads again.
  DdeClient idle;
  idle.setIdle([&] { h.loop.runOnce(1); });
  ASSERT_TRUE(idle.open("TAVRO"));
  std::uint32_t idleConv = 0;
  ASSERT_EQ(idle.connect("TAVRO", "lse_vod", idleConv), DdeReply::Ok);
  ASSERT_EQ(idle.adviseStart(idleConv, "BID", TEXT), DdeReply::Ok);
  std::uint32_t conv = h.conversation("lse_vod");
  ASSERT_EQ(h.client.adviseStart(conv, "BID", TEXT), DdeReply::Ok);
  int received = 0;
  ASSERT_TRUE(h.runUntil([&] {
    DdeAdvise a;
    while (h.client.nextAdvise(a, 0)) ++received;
    return received >= 20;
  }, 10000));
  EXPECT_TRUE(sink->isConnected());
}

}  // namespace

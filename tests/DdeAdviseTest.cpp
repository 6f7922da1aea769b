// Advise loops of the DDE library: starting and stopping them, and how
// their data reaches fast, slow and stalled clients.
#include "tests/DdeLibraryHarness.h"

namespace {

using DdeAdviseTest = DdeLibraryTest;

// ---- Advise loops

TEST_F(DdeAdviseTest, AdviseStartReportsTheCallbackAnswer) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  EXPECT_EQ(c.adviseStart(conv, "BID", kXlTable), DdeReply::Ok);
  EXPECT_EQ(c.adviseStart(conv, "NOPE", kText), DdeReply::Refused);
  std::vector<Call> starts = callsOf(XTYP_ADVSTART);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].fmt, xltable);
  EXPECT_EQ(starts[0].text2, "BID");

  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  ASSERT_TRUE(DdePostAdvise(inst, topic, nullptr));
  std::vector<Call> reqs = callsOf(XTYP_ADVREQ);
  ASSERT_EQ(reqs.size(), 1u);  // the refused loop does not exist
  EXPECT_EQ(reqs[0].text2, "BID");
}

TEST_F(DdeAdviseTest, PostAdviseCallsBackOncePerMatchingLoopBeforeReturning) {
  ASSERT_TRUE(start());
  DdeClient& a = newClient();
  DdeClient& b = newClient();
  std::uint32_t vodA = connect(a, "LSE_VOD");
  std::uint32_t vodB = connect(b, "lse_vod");
  std::uint32_t bp = connect(b, "LSE_BP");
  ASSERT_EQ(a.adviseStart(vodA, "BID", kText), DdeReply::Ok);
  ASSERT_EQ(a.adviseStart(vodA, "ASK", kText), DdeReply::Ok);
  ASSERT_EQ(a.adviseStart(vodA, "bid", kXlTable), DdeReply::Ok);
  ASSERT_EQ(b.adviseStart(vodB, "BID", kText), DdeReply::Ok);
  ASSERT_EQ(b.adviseStart(bp, "BID", kText), DdeReply::Ok);

  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  HSZ bid = DdeCreateStringHandleA(inst, "BID", CP_WINANSI);
  calls.clear();
  ASSERT_TRUE(DdePostAdvise(inst, topic, bid));
  std::vector<Call> reqs = callsOf(XTYP_ADVREQ);
  ASSERT_EQ(reqs.size(), 3u);
  // Oldest conversation first, each telling how many more of its item and format follow.
  std::vector<std::tuple<std::uintptr_t, UINT, ULONG_PTR>> seen;
  for (const Call& r : reqs) {
    EXPECT_EQ(r.hsz1, topic);
    EXPECT_EQ(r.hsz2, bid);
    EXPECT_EQ(DdeCmpStringHandles(r.hsz2, bid), 0);
    seen.emplace_back(r.conv, r.fmt, r.remaining);
  }
  EXPECT_EQ(seen, (std::vector<std::tuple<std::uintptr_t, UINT, ULONG_PTR>>{
                      {vodA, CF_TEXT, 1}, {vodA, xltable, 0}, {vodB, CF_TEXT, 0}}));

  calls.clear();
  ASSERT_TRUE(DdePostAdvise(inst, topic, nullptr));
  reqs = callsOf(XTYP_ADVREQ);
  ASSERT_EQ(reqs.size(), 4u);
  for (const Call& r : reqs) EXPECT_NE(r.conv, bp);

  // The data reaches each loop's client under the item it was started with.
  std::map<std::pair<std::uint32_t, std::string>, int> got;
  std::int64_t deadline = nowMs() + 3000;
  while (got.size() < 4 && nowMs() < deadline) {
    DdeAdvise adv;
    if (a.nextAdvise(adv, 0)) got[{adv.conv, adv.item + (adv.format.name.empty() ? "" : "/xl")}]++;
    if (b.nextAdvise(adv, 0)) got[{adv.conv, adv.item}]++;
    loop.runOnce(2);
  }
  EXPECT_EQ(got.count({vodA, "BID"}), 1u);
  EXPECT_EQ(got.count({vodA, "ASK"}), 1u);
  EXPECT_EQ(got.count({vodA, "bid/xl"}), 1u);
  EXPECT_EQ(got.count({vodB, "BID"}), 1u);
}

// A post for every item of a topic whose loops name many items: each
// request still says how many more of its item and format follow.
TEST_F(DdeAdviseTest, PostOfEveryItemCountsTheLaterRequestsOfEachItem) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t first = connect(c, "lse_vod"), second = connect(c, "lse_vod");
  for (std::uint32_t conv : {first, second})
    for (int i = 0; i < 20; ++i) ASSERT_EQ(c.adviseStart(conv, "ITEM" + std::to_string(i), kText), DdeReply::Ok);
  calls.clear();
  ASSERT_TRUE(DdePostAdvise(inst, DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI), nullptr));
  std::vector<Call> reqs = callsOf(XTYP_ADVREQ);
  ASSERT_EQ(reqs.size(), 40u);
  for (const Call& r : reqs) EXPECT_EQ(r.remaining, r.conv == first ? 1u : 0u) << r.text2;
}

TEST_F(DdeAdviseTest, AdviseStopEndsTheLoop) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  ASSERT_EQ(c.adviseStart(conv, "BID", kText), DdeReply::Ok);
  ASSERT_EQ(c.adviseStart(conv, "ASK", kText), DdeReply::Ok);
  EXPECT_EQ(c.adviseStop(conv, "bid", kText), DdeReply::Ok);
  ASSERT_EQ(callsOf(XTYP_ADVSTOP).size(), 1u);
  EXPECT_EQ(callsOf(XTYP_ADVSTOP)[0].text2, "BID");
  EXPECT_EQ(c.adviseStop(conv, "BID", kText), DdeReply::Refused);
  EXPECT_EQ(c.adviseStop(conv, "ASK", kXlTable), DdeReply::Refused);
  EXPECT_EQ(callsOf(XTYP_ADVSTOP).size(), 1u);

  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  calls.clear();
  DdePostAdvise(inst, topic, nullptr);
  ASSERT_EQ(callsOf(XTYP_ADVREQ).size(), 1u);
  EXPECT_EQ(callsOf(XTYP_ADVREQ)[0].text2, "ASK");
}

TEST_F(DdeAdviseTest, ShortBurstOfUpdatesReachesTheClientAsTheLatestValuePerLoop) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  watchPrices(c);
  ASSERT_FALSE(HasFailure());
  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  HSZ ask = DdeCreateStringHandleA(inst, "ASK", CP_WINANSI);
  // Less than a write's worth: all of it waits for the end of the event.
  for (int i = 0; i < 10; ++i) DdePostAdvise(inst, topic, nullptr);
  DdePostAdvise(inst, topic, ask);  // ASK's latest is now the newest of all
  EXPECT_EQ(advSeq, 31);
  ASSERT_TRUE(runUntilSent());
  std::vector<DdeAdvise> got;
  DdeAdvise adv;
  while (c.nextAdvise(adv, 200)) got.push_back(adv);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].item, "BID");
  EXPECT_EQ(got[0].data, std::string("28\0", 3));
  EXPECT_EQ(got[1].item, "CUR");
  EXPECT_EQ(got[1].data, std::string("30\0", 3));
  EXPECT_EQ(got[2].item, "ASK");
  EXPECT_EQ(got[2].data, std::string("31\0", 3));
}

// A long burst is not held back until its end: values go out while it
// lasts, in the order posted, and each loop ends on its latest value.
TEST_F(DdeAdviseTest, LongBurstOfUpdatesFlowsInOrderAndEndsOnTheLatestValues) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = watchPrices(c);
  ASSERT_FALSE(HasFailure());
  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  std::size_t before = 0;
  for (int i = 0; i < 10000; ++i) {
    DdePostAdvise(inst, topic, nullptr);
    if (i == 200 && c.pump(0)) before = c.advisesQueued();
  }
  EXPECT_GT(before, 0u) << "nothing was written during the burst";
  std::vector<long> seqs = expectFreshInOrder(c, conv);
  ASSERT_FALSE(seqs.empty());
  EXPECT_EQ(seqs.back(), 30000);
}

TEST_F(DdeAdviseTest, SlowClientGetsOnlyFreshValuesInOrderAndCostsBoundedMemory) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = watchPrices(c);
  ASSERT_FALSE(HasFailure());
  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  advPadding = 40;
  std::size_t most = 0;
  // The server gets to write between posts; the client reads nothing.
  for (int i = 0; i < 10000; ++i) {
    DdePostAdvise(inst, topic, nullptr);
    loop.runOnce(0);
    most = std::max(most, ddeBridgePendingBytes(inst));
  }
  // One write batch under way plus one value per loop.
  EXPECT_LE(most, 20u * 1024);
  EXPECT_EQ(ddeBridgeClientCount(inst), 1u);

  std::vector<long> seqs = expectFreshInOrder(c, conv);
  EXPECT_FALSE(seqs.empty());
  EXPECT_LT(seqs.size(), 30000u / 10);
}

TEST_F(DdeAdviseTest, ClientThatStopsReadingIsDroppedAfterTheStallLimit) {
  ddeBridgeSetStallLimitMs(300);
  ASSERT_TRUE(start());
  DdeClient& slow = newClient();
  DdeClient& fine = newClient();
  std::uint32_t slowConv = connect(slow, "lse_vod");
  std::uint32_t fineConv = connect(fine, "lse_vod");
  ASSERT_EQ(slow.adviseStart(slowConv, "BID", kText), DdeReply::Ok);
  ASSERT_EQ(fine.adviseStart(fineConv, "BID", kText), DdeReply::Ok);
  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  recordAdvreq = false;
  advPadding = 8000;
  LogCapture log;
  int received = 0;
  DdeAdvise adv;
  // Fill the slow client's socket while the other one keeps reading, 5 ms apart.
  for (int i = 0; i < 2000 && !disconnected(slowConv); ++i) {
    DdePostAdvise(inst, topic, nullptr);
    passTime(5, 5);
    while (fine.nextAdvise(adv, 0)) ++received;
  }
  ASSERT_TRUE(disconnected(slowConv)) << log.text();
  EXPECT_TRUE(log.contains("has read nothing for")) << log.text();
  EXPECT_FALSE(disconnected(fineConv));
  EXPECT_GT(received, 0);
  EXPECT_EQ(ddeBridgeClientCount(inst), 1u);
  DdeBridgeFormat f;
  std::string data;
  EXPECT_EQ(fine.request(fineConv, "BID", kText, f, data), DdeReply::Ok);
}

TEST_F(DdeAdviseTest, ClientThatFloodsRequestsWithoutReadingIsDropped) {
  ASSERT_TRUE(start());
  RawClient raw(socketPath, loop);
  ASSERT_TRUE(raw.ok());
  ASSERT_TRUE(raw.send(connectMessage(1, "TAVRO", "lse_vod")));
  DdeBridgeMessage m;
  ASSERT_TRUE(raw.next(m));
  ASSERT_EQ(m.pairs.size(), 1u);
  std::uint32_t conv = m.pairs[0].conv;
  requestValue = std::string(1000, 'v');
  LogCapture log;
  std::string burst;
  for (std::uint32_t i = 0; i < 500; ++i) ddeBridgeEncode(requestMessage(10 + i, conv, "BID"), burst);
  for (int round = 0; round < 40 && !disconnected(conv); ++round) {
    raw.send(burst);
    loop.runOnce(2);
  }
  ASSERT_TRUE(runUntil([&] { return disconnected(conv); }));
  EXPECT_TRUE(log.contains("without reading the answers")) << log.text();
  EXPECT_TRUE(raw.closedWithin(2000));
}

// Conversations on one topic that end in any order, past the point where the
// library tidies its list of them, leave posts reaching exactly the others.
TEST_F(DdeAdviseTest, EndedConversationsLeaveTheirTopicsPostsToTheRest) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::vector<std::uint32_t> convs;
  for (int i = 0; i < 7; ++i) {
    convs.push_back(connect(c, "lse_vod"));
    ASSERT_EQ(c.adviseStart(convs.back(), "BID", kText), DdeReply::Ok);
  }
  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  auto served = [&] {
    calls.clear();
    EXPECT_TRUE(DdePostAdvise(inst, topic, nullptr));
    std::vector<std::uint32_t> out;
    for (const Call& r : callsOf(XTYP_ADVREQ)) out.push_back(static_cast<std::uint32_t>(r.conv));
    return out;
  };
  for (int i : {3, 0, 5, 6}) {
    ASSERT_TRUE(c.terminate(convs[i]));
    ASSERT_TRUE(runUntil([&] { return disconnected(convs[i]); }));
  }
  EXPECT_EQ(served(), (std::vector<std::uint32_t>{convs[1], convs[2], convs[4]}));
  std::uint32_t late = connect(c, "LSE_VOD");
  ASSERT_EQ(c.adviseStart(late, "BID", kText), DdeReply::Ok);
  EXPECT_EQ(served(), (std::vector<std::uint32_t>{convs[1], convs[2], convs[4], late}));
  c.close();
  ASSERT_TRUE(runUntil([&] { return disconnected(late); }));
  EXPECT_TRUE(served().empty());
}

}  // namespace

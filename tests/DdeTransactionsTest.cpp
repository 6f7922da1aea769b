// Conversations with the DDE library and what they carry: connects,
// requests, pokes and executes, and transactions held while disabled.
#include "tests/DdeLibraryHarness.h"

namespace {

using DdeTransactionsTest = DdeLibraryTest;

// ---- Conversations

TEST_F(DdeTransactionsTest, ConnectConfirmAndDisconnectReachTheCallbackInOrder) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  ASSERT_NE(conv, 0u);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].type, XTYP_CONNECT);
  EXPECT_EQ(calls[0].conv, 0u);
  EXPECT_EQ(calls[0].text1, "lse_vod");
  EXPECT_EQ(calls[0].text2, "TAVRO");
  EXPECT_EQ(calls[1].type, XTYP_CONNECT_CONFIRM);
  EXPECT_EQ(calls[1].conv, conv);
  EXPECT_EQ(calls[1].text1, "lse_vod");
  EXPECT_EQ(calls[1].text2, "TAVRO");

  std::uint32_t second = connect(c, "LSE_BP");
  EXPECT_NE(second, conv);
  ASSERT_TRUE(c.terminate(conv));
  ASSERT_TRUE(runUntil([&] { return disconnected(conv); }));
  EXPECT_FALSE(disconnected(second));

  c.close();
  ASSERT_TRUE(runUntil([&] { return disconnected(second); }));
  EXPECT_EQ(callsOf(XTYP_DISCONNECT).size(), 2u);
}

TEST_F(DdeTransactionsTest, RefusedConnectMakesNoConversation) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = 0;
  EXPECT_EQ(c.connect("TAVRO", "BAD", conv), DdeReply::Refused);
  EXPECT_EQ(callsOf(XTYP_CONNECT).size(), 1u);
  EXPECT_TRUE(callsOf(XTYP_CONNECT_CONFIRM).empty());
  EXPECT_EQ(c.connect("OTHERSERVICE", "lse_vod", conv), DdeReply::Refused);
  EXPECT_EQ(callsOf(XTYP_CONNECT).size(), 1u);
}

TEST_F(DdeTransactionsTest, WildcardConnectOnSystemMakesOneConfirmedConversationPerPair) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::vector<DdeBridgePair> pairs;
  ASSERT_EQ(c.wildConnect("", "System", pairs), DdeReply::Ok);
  ASSERT_EQ(pairs.size(), 3u);
  std::vector<Call> wild = callsOf(XTYP_WILDCONNECT);
  ASSERT_EQ(wild.size(), 1u);
  EXPECT_EQ(wild[0].text1, "System");
  EXPECT_EQ(wild[0].hsz2, nullptr);
  std::vector<Call> confirms = callsOf(XTYP_CONNECT_CONFIRM);
  ASSERT_EQ(confirms.size(), 3u);
  const char* expected[] = {"Topics", "SysItems", "Formats"};
  std::set<std::uint32_t> convs;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pairs[i].service, "TAVRO");
    EXPECT_EQ(pairs[i].topic, expected[i]);
    EXPECT_EQ(confirms[i].text1, expected[i]);
    EXPECT_EQ(confirms[i].conv, pairs[i].conv);
    convs.insert(pairs[i].conv);
  }
  EXPECT_EQ(convs.size(), 3u);
  // Each is an ordinary conversation.
  DdeBridgeFormat f;
  std::string data;
  EXPECT_EQ(c.request(pairs[1].conv, "BID", kText, f, data), DdeReply::Ok);
}

TEST_F(DdeTransactionsTest, WildcardConnectOnAnotherTopicIsRefused) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::vector<DdeBridgePair> pairs;
  EXPECT_EQ(c.wildConnect("TAVRO", "", pairs), DdeReply::Refused);
  EXPECT_EQ(c.wildConnect("", "lse_vod", pairs), DdeReply::Refused);
  EXPECT_TRUE(pairs.empty());
  EXPECT_EQ(callsOf(XTYP_WILDCONNECT).size(), 2u);
  EXPECT_TRUE(callsOf(XTYP_CONNECT_CONFIRM).empty());
}

TEST_F(DdeTransactionsTest, ManyClientsConnectAndLeave) {
  ASSERT_TRUE(start());
  std::set<std::uint32_t> convs;
  for (int i = 0; i < 200; ++i) {
    DdeClient& c = newClient();
    convs.insert(connect(c, "lse_vod"));
    convs.insert(connect(c, "LSE_" + std::to_string(i)));
  }
  EXPECT_EQ(convs.size(), 400u);
  EXPECT_EQ(ddeBridgeClientCount(inst), 200u);
  clients.clear();
  ASSERT_TRUE(runUntil([&] { return callsOf(XTYP_DISCONNECT).size() == 400; }));
  EXPECT_EQ(ddeBridgeClientCount(inst), 0u);
  for (const Call& c : callsOf(XTYP_DISCONNECT)) EXPECT_EQ(convs.count(static_cast<std::uint32_t>(c.conv)), 1u);
}

TEST_F(DdeTransactionsTest, ConnectAndDisconnectAreLogged) {
  ASSERT_TRUE(start());
  LogCapture log(3);
  DdeClient& c = newClient();
  connect(c, "lse_vod");
  EXPECT_TRUE(log.contains("connected to TAVRO")) << log.text();
  c.close();
  ASSERT_TRUE(runUntil([&] { return log.contains("disconnected"); }));
}

// ---- Requests, pokes, executes

struct RequestCase {
  const char* name;
  std::string value;
  bool xl;
};

TEST_F(DdeTransactionsTest, RequestReturnsTheCallbackBytesExactly) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  const RequestCase cases[] = {
      {"text", std::string("12.5\0", 5), false},
      {"float table", kFloat125, true},
      {"string table", kStringAbc, true},
      {"empty text", std::string("\0", 1), false},
  };
  for (const RequestCase& rc : cases) {
    SCOPED_TRACE(rc.name);
    requestValue = rc.value;
    DdeBridgeFormat f;
    std::string data;
    ASSERT_EQ(c.request(conv, "BID", rc.xl ? kXlTable : kText, f, data), DdeReply::Ok);
    EXPECT_EQ(hex(data), hex(rc.value));
    EXPECT_TRUE(f.sameAs(rc.xl ? kXlTable : kText));
    Call last = callsOf(XTYP_REQUEST).back();
    EXPECT_EQ(last.fmt, rc.xl ? xltable : CF_TEXT);
    EXPECT_EQ(last.text1, "lse_vod");
    EXPECT_EQ(last.text2, "BID");
  }
}

TEST_F(DdeTransactionsTest, RequestGetsTheFormatOfTheReturnedHandle) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  requestValue = std::string("ERROR\0", 6);
  requestFormat = CF_TEXT;
  DdeBridgeFormat f;
  std::string data;
  ASSERT_EQ(c.request(conv, "BID", kXlTable, f, data), DdeReply::Ok);
  EXPECT_TRUE(f.sameAs(kText));
}

TEST_F(DdeTransactionsTest, RequestWithoutDataIsAnsweredNegatively) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  DdeBridgeFormat f;
  std::string data;
  EXPECT_EQ(c.request(conv, "NONE", kText, f, data), DdeReply::Refused);
  EXPECT_EQ(callsOf(XTYP_REQUEST).size(), 1u);
  // A format this process never registered cannot be served.
  EXPECT_EQ(c.request(conv, "BID", DdeBridgeFormat::registered("Biff12"), f, data), DdeReply::Refused);
  EXPECT_EQ(callsOf(XTYP_REQUEST).size(), 1u);
  // Nor a conversation the client does not hold.
  EXPECT_EQ(c.request(conv + 100, "BID", kText, f, data), DdeReply::Refused);
  EXPECT_EQ(callsOf(XTYP_REQUEST).size(), 1u);
}

TEST_F(DdeTransactionsTest, ExecuteIsFailedByTheLibraryUnderCbfFailExecutes) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  EXPECT_EQ(c.execute(conv, "[open]"), DdeReply::Refused);
  EXPECT_TRUE(callsOf(XTYP_EXECUTE).empty());
}

TEST_F(DdeTransactionsTest, PokeReachesTheCallbackWithItsData) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  EXPECT_EQ(c.poke(conv, "BID", kText, std::string("1.5\0", 4)), DdeReply::Ok);
  std::vector<Call> pokes = callsOf(XTYP_POKE);
  ASSERT_EQ(pokes.size(), 1u);
  EXPECT_EQ(pokes[0].text2, "BID");
  EXPECT_EQ(pokes[0].data, std::string("1.5\0", 4));
  onCall = [](const Call& call, HDDEDATA& h) {
    h = nullptr;
    return call.type == XTYP_POKE;
  };
  EXPECT_EQ(c.poke(conv, "BID", kText, "2"), DdeReply::Refused);
}

// ---- Callback enabling

TEST_F(DdeTransactionsTest, DisabledConversationHoldsItsTransactionsUntilEnabled) {
  ASSERT_TRUE(start());
  RawClient raw(socketPath, loop);
  ASSERT_TRUE(raw.send(connectMessage(1, "TAVRO", "lse_vod")));
  DdeBridgeMessage m;
  ASSERT_TRUE(raw.next(m));
  std::uint32_t conv = m.pairs.at(0).conv;
  DdeBridgeMessage advise = requestMessage(2, conv, "BID");
  advise.kind = DDE_BRIDGE_ADVSTART;
  ASSERT_TRUE(raw.send(advise));
  ASSERT_TRUE(raw.next(m));
  ASSERT_EQ(m.kind, DDE_BRIDGE_ACK);
  ASSERT_TRUE(m.ok);

  HCONV h = reinterpret_cast<HCONV>(static_cast<std::uintptr_t>(conv));
  ASSERT_TRUE(DdeEnableCallback(inst, h, EC_DISABLE));
  ASSERT_TRUE(raw.send(requestMessage(3, conv, "BID")));
  ASSERT_TRUE(raw.send(requestMessage(4, conv, "ASK")));
  EXPECT_FALSE(raw.next(m, 200));
  EXPECT_TRUE(callsOf(XTYP_REQUEST).empty());
  EXPECT_TRUE(DdeEnableCallback(inst, h, 0x0002 /* EC_QUERYWAITING */));

  // Advise requests are not held back.
  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  ASSERT_TRUE(DdePostAdvise(inst, topic, nullptr));
  EXPECT_EQ(callsOf(XTYP_ADVREQ).size(), 1u);
  ASSERT_TRUE(raw.next(m));
  EXPECT_EQ(m.kind, DDE_BRIDGE_ADVISE);

  ASSERT_TRUE(DdeEnableCallback(inst, h, EC_ENABLEALL));
  ASSERT_TRUE(raw.next(m));
  EXPECT_EQ(m.kind, DDE_BRIDGE_DATA);
  EXPECT_EQ(m.xid, 3u);
  ASSERT_TRUE(raw.next(m));
  EXPECT_EQ(m.xid, 4u);
  std::vector<Call> reqs = callsOf(XTYP_REQUEST);
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].text2, "BID");
  EXPECT_EQ(reqs[1].text2, "ASK");
  EXPECT_FALSE(DdeEnableCallback(inst, h, 0x0002));
}

}  // namespace

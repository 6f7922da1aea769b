// What clients of the DDE library send on the wire: malformed messages,
// messages cut anywhere, and the frames the server builds in parts.
#include "tests/DdeLibraryHarness.h"

namespace {

using DdeBridgeInputTest = DdeLibraryTest;

// ---- Malformed input

struct BadInput {
  const char* name;
  std::string bytes;
};

std::string framed(const std::string& body) { return le32(static_cast<std::uint32_t>(body.size())) + body; }

TEST_F(DdeBridgeInputTest, MalformedMessageDropsOnlyThatClient) {
  ASSERT_TRUE(start());
  DdeClient& good = newClient();
  std::uint32_t goodConv = connect(good, "lse_vod");
  const BadInput cases[] = {
      {"size zero", le32(0)},
      {"size over the limit", le32(65537) + "\x02"},
      {"unknown kind", framed("\x42")},
      {"server kind", framed(std::string("\x83\x01\x00\x00\x00\x00\x10\x00\x00\x01", 10))},
      {"name past the end", framed(std::string("\x01\x01\x00\x00\x00\x05TAV", 9))},
      {"trailing bytes", framed(std::string("\x07\x00\x10\x00\x00\x99", 6))},
      {"nul in a name", framed(std::string("\x01\x01\x00\x00\x00\x05TA\0VO\x01x", 14))},
      {"number and name", framed(std::string("\x02\x01\x00\x00\x00\x00\x10\x00\x00\x03"
                                             "BID\x01\x00\x00\x00\x03XlT",
                                             21))},
      {"blob past the end", framed(std::string("\x06\x01\x00\x00\x00\x00\x10\x00\x00\xff\xff\x00\x00", 13))},
  };
  std::uint32_t xid = 100;
  for (const BadInput& bad : cases) {
    SCOPED_TRACE(bad.name);
    RawClient raw(socketPath, loop);
    ASSERT_TRUE(raw.send(connectMessage(++xid, "TAVRO", "lse_vod")));
    DdeBridgeMessage m;
    ASSERT_TRUE(raw.next(m));
    std::uint32_t conv = m.pairs.at(0).conv;
    LogCapture log;
    ASSERT_TRUE(raw.send(bad.bytes));
    EXPECT_TRUE(raw.closedWithin(2000));
    EXPECT_TRUE(runUntil([&] { return disconnected(conv); }));
    EXPECT_TRUE(log.contains("malformed message")) << log.text();
    DdeBridgeFormat f;
    std::string data;
    EXPECT_EQ(good.request(goodConv, "BID", kText, f, data), DdeReply::Ok);
  }
  EXPECT_FALSE(disconnected(goodConv));
}

TEST_F(DdeBridgeInputTest, MessageSplitAtEveryByteIsStillUnderstood) {
  ASSERT_TRUE(start());
  RawClient raw(socketPath, loop);
  std::string bytes;
  ddeBridgeEncode(connectMessage(7, "TAVRO", "lse_vod"), bytes);
  for (char b : bytes) {
    ASSERT_TRUE(raw.send(std::string(1, b)));
    loop.runOnce(1);
  }
  DdeBridgeMessage m;
  ASSERT_TRUE(raw.next(m));
  EXPECT_EQ(m.kind, DDE_BRIDGE_CONNECTED);
  EXPECT_EQ(m.xid, 7u);
  EXPECT_EQ(m.pairs.size(), 1u);
}

// A client that falls silent in the middle of a message goes once the limit
// has passed, so idle ones cannot keep the client cap exhausted, and is told
// its conversations end; one whose bytes keep coming stays however slow it
// is, and so does one between messages.
TEST_F(DdeBridgeInputTest, ClientSilentInTheMiddleOfAMessageIsToldAndDroppedButASlowOneStays) {
  ddeBridgeSetPartialLimitMs(200);
  ASSERT_TRUE(start());
  std::string whole;
  ddeBridgeEncode(connectMessage(1, "TAVRO", "lse_vod"), whole);
  RawClient idle(socketPath, loop), silent(socketPath, loop), sizeOnly(socketPath, loop), slow(socketPath, loop);
  DdeBridgeMessage m, answer;
  ASSERT_TRUE(idle.send(whole));
  ASSERT_TRUE(idle.next(answer));
  ASSERT_TRUE(silent.send(whole));
  ASSERT_TRUE(silent.next(m));
  std::uint32_t silentConv = m.pairs.at(0).conv;
  std::string request;
  ddeBridgeEncode(requestMessage(2, silentConv, "BID"), request);
  ASSERT_TRUE(silent.send(request.substr(0, request.size() / 2)));
  ASSERT_TRUE(sizeOnly.send(whole.substr(0, 3)));
  ASSERT_TRUE(runUntil([&] { return ddeBridgeClientCount(inst) == 4; }));
  LogCapture log;
  for (char b : whole) {
    ASSERT_TRUE(slow.send(std::string(1, b)));
    passTime(150);
  }
  ASSERT_TRUE(slow.next(m));
  EXPECT_EQ(m.kind, DDE_BRIDGE_CONNECTED);
  EXPECT_EQ(m.pairs.size(), 1u);
  ASSERT_TRUE(silent.next(m)) << log.text();
  EXPECT_EQ(m.kind, DDE_BRIDGE_TERMINATED);
  EXPECT_EQ(m.conv, silentConv);
  EXPECT_TRUE(silent.closedWithin(1000));
  EXPECT_TRUE(sizeOnly.closedWithin(1000));
  EXPECT_TRUE(disconnected(silentConv));
  EXPECT_EQ(log.count("has sent nothing for"), 2) << log.text();
  EXPECT_EQ(ddeBridgeClientCount(inst), 2u);
  ASSERT_TRUE(idle.send(requestMessage(3, answer.pairs.at(0).conv, "BID")));
  ASSERT_TRUE(idle.next(m));
  EXPECT_TRUE(m.ok);
}

// The server encodes a loop's part of its ADVISE frames once; every frame
// must still be the one the whole-message encoder makes, and fail where it fails.
TEST(DdeBridgeCodecTest, SplitAdviseFrameIsTheWholeMessageFrame) {
  struct Case {
    std::string item;
    DdeBridgeFormat loop, data;
    std::string bytes;
  };
  const Case cases[] = {
      {"BID", DdeBridgeFormat::standard(1), DdeBridgeFormat::standard(1), std::string("12.5\0", 5)},
      {"Last Trade", DdeBridgeFormat::registered("XlTable"), DdeBridgeFormat::registered("XlTable"), kFloat125},
      {"bid", DdeBridgeFormat::registered("XlTable"), DdeBridgeFormat::standard(1), std::string("ERROR\0", 6)},
      {"TIME", DdeBridgeFormat::standard(1), DdeBridgeFormat::standard(1), ""},
      {"BID", DdeBridgeFormat::standard(1), DdeBridgeFormat::standard(1), std::string(DDE_BRIDGE_MAX_MESSAGE, 'x')},
      {std::string(256, 'I'), DdeBridgeFormat::standard(1), DdeBridgeFormat::standard(1), "1"},
      {"BID", DdeBridgeFormat::standard(1), DdeBridgeFormat::registered(std::string("Xl\0", 3)), "1"},
  };
  for (const Case& c : cases) {
    DdeBridgeMessage m;
    m.kind = DDE_BRIDGE_ADVISE;
    m.conv = 0x1234;
    m.item = c.item;
    m.format = c.loop;
    m.dataFormat = c.data;
    m.data = c.bytes;
    std::string whole = "prefix", split = "prefix", head;
    bool wholeOk = ddeBridgeEncode(m, whole);
    bool splitOk = ddeBridgeAdviseHead(m.item, m.format, head) &&
                   ddeBridgeAppendAdvise(m.conv, head, m.dataFormat, m.data.data(), m.data.size(), split);
    EXPECT_EQ(splitOk, wholeOk) << c.item.substr(0, 10) << " " << c.bytes.size();
    EXPECT_EQ(split, whole) << c.item.substr(0, 10) << " " << c.bytes.size();
  }
}

}  // namespace

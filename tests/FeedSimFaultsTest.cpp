#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/SimHarness.h"

namespace {

class FeedSimFaultsTest : public ::testing::Test {
 protected:
  LogCapture log{3};
};

// --- what a client may not send -------------------------------------------------

TEST_F(FeedSimFaultsTest, UnreadableClientFramesCloseThatClient) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  std::string badTrailer = frame(QELMSG_OPEN, "L1^LSE^VOD");
  badTrailer.back() = 'K';
  std::string noNul = frame(QELMSG_OPEN, "ABC");
  noNul[10] = 'x';
  std::string ridOverrun = frame(QELMSG_PING, "");
  ridOverrun[5] = 9;
  const Case cases[] = {
      {"trailer", badTrailer},
      {"terminator", noNul},
      {"rid length", ridOverrun},
      {"length below 9", le32(3) + std::string(5, '\0')},
      {"length too big", le32(1u << 20) + std::string(16, '\0')},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    SimHarness h(quiet());
    RawClient c(h), other(h);
    ASSERT_TRUE(c.login());
    ASSERT_TRUE(other.login());
    ASSERT_TRUE(c.send(k.bytes + frame(QELMSG_PING, "")));
    EXPECT_TRUE(c.closedByServer());
    EXPECT_EQ(kind(h.sim(), "bad frame"), 1u);
    EXPECT_EQ(h.sim().stats().violations, 1u);
    EXPECT_EQ(h.sim().stats().received[QELMSG_PING], 0u);  // nothing after the bad frame is read
    ASSERT_TRUE(other.send(frame(QELMSG_PING, "")));
    Frame f;
    ASSERT_TRUE(other.readFrame(f));
    EXPECT_EQ(f.type, QELMSG_PING_ACK);
  }
}

TEST_F(FeedSimFaultsTest, FramesAClientMustNotSendAreCountedAndDropped) {
  struct Case {
    std::string bytes;
    const char* kind;
  };
  const Case cases[] = {
      {frame(QELMSG_OPEN, "L1^LSE^VOD", "x"), "data from client"},
      {frame(QELMSG_PING, "", "abcd"), "data from client"},
      {frame(QELMSG_IMAGE, "L1^LSE^VOD"), "server-only type"},
      {frame(QELMSG_UPDATE, "L1^LSE^VOD"), "server-only type"},
      {frame(QELMSG_STATUS, "L1^LSE^VOD", le32(7)), "server-only type"},
      {frame(QELMSG_PUBLISH, "p#"), "server-only type"},
      {frame(12, "x"), "unknown type"},
      {frame(QELMSG_OPEN, std::string("L1^LSE\0^VOD", 11)), "bad record identifier"},
      {frame(QELMSG_PING, "x"), "record identifier on a ping"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(hex(k.bytes));
    SimHarness h(quiet());
    RawClient c(h);
    Frame f;
    ASSERT_TRUE(c.loginSendRead(k.bytes + frame(QELMSG_PING, ""), f));
    EXPECT_EQ(f.type, QELMSG_PING_ACK) << "connection kept, no answer to the bad frame";
    EXPECT_EQ(kind(h.sim(), k.kind), 1u);
    EXPECT_EQ(h.sim().stats().violations, 1u);
  }
}

// --- faults ----------------------------------------------------------------------

TEST_F(FeedSimFaultsTest, MalformedFaultSendsOneBadFrameRightAfterLogin) {
  struct Case {
    SimMalformed kind;
    const char* bytes;
  };
  const Case cases[] = {
      {SimMalformed::LENGTH, "05 00 00 00 06 00 00 00 4A"},
      {SimMalformed::RIDLENGTH, "0A 00 00 00 06 FF 00 78 00 4A"},
      {SimMalformed::TRAILER, "09 00 00 00 06 00 00 00 58"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.bytes);
    SimOptions o = quiet();
    o.malformed = k.kind;
    SimHarness h(o);
    RawClient c(h);
    ASSERT_TRUE(c.login());
    std::string expected = k.bytes;
    std::string got = c.readBytes((expected.size() + 1) / 3);
    EXPECT_EQ(hex(got), expected);
    // Only once, and only after the login.
    ASSERT_TRUE(c.send(frame(QELMSG_PING, "")));
    EXPECT_EQ(hex(c.readBytes(9)), "09 00 00 00 07 00 00 00 4A");
    EXPECT_EQ(h.sim().stats().sent[QELMSG_PING], 1u);
  }
}

TEST_F(FeedSimFaultsTest, MalformedFaultWaitsForTheLogin) {
  SimOptions o = quiet();
  o.malformed = SimMalformed::TRAILER;
  SimHarness h(o);
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, "AUTH^demo^bad") + frame(QELMSG_PING, "")));
  std::vector<Frame> frames = c.framesFor(60);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].type, QELMSG_STATUS);
  EXPECT_EQ(frames[1].bytes.back(), 'J');
}

TEST_F(FeedSimFaultsTest, TruncatedUpdateIsCutInsideItsFirstField) {
  SimOptions o = withRate(50);
  o.truncatedUpdate = true;
  SimHarness h(o);
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.loginSendRead(frame(QELMSG_OPEN, "L1^LSE^VOD"), f));
  ASSERT_EQ(f.type, QELMSG_IMAGE);
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_EQ(f.type, QELMSG_UPDATE);
  // The frame itself is sound...
  EXPECT_EQ(u32(f.bytes, 0), f.bytes.size());
  EXPECT_EQ(f.bytes.back(), 'J');
  // ...but its stream stops inside the first field's data.
  const std::string& s = f.data;
  ASSERT_GT(s.size(), 23u);
  EXPECT_EQ(s[4], 4);        // SELECT_ROW
  EXPECT_EQ(u32(s, 5), 0u);  // row 0
  EXPECT_GE(u32(s, 9), 1u);  // field count
  std::uint32_t length = u32(s, 17);
  EXPECT_GT(23u + length, s.size());
  EXPECT_GT(s.size(), 23u);
  std::vector<Command> cmds;
  EXPECT_FALSE(parseStream(s, cmds));
  // The next update is whole again.
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_TRUE(parseStream(f.data, cmds)) << hex(f.data);
}

TEST_F(FeedSimFaultsTest, SplitBytesWritesOneBytePerWrite) {
  SimOptions o = quiet();
  o.splitBytes = true;
  SimHarness h(o);
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.loginSendRead(frame(QELMSG_OPEN, "L1^LSE^VOD"), f));
  std::vector<Command> cmds;
  EXPECT_TRUE(parseStream(f.data, cmds));
  const SimStats& s = h.sim().stats();
  EXPECT_GT(s.bytesWritten, 100u);
  EXPECT_EQ(s.writeCalls, s.bytesWritten);
  EXPECT_EQ(c.received().size(), s.bytesWritten);
}

TEST_F(FeedSimFaultsTest, WithoutSplitBytesAFrameIsOneWrite) {
  SimHarness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  const SimStats& s = h.sim().stats();
  EXPECT_EQ(s.writeCalls, 2u);  // NAME, login answer
}

TEST_F(FeedSimFaultsTest, DropAfterFramesClosesOnceThatManyWereSent) {
  SimOptions o = quiet();
  o.dropAfterFrames = 2;
  SimHarness h(o);
  RawClient c(h);
  ASSERT_TRUE(c.login());  // NAME and the login answer are the two frames
  c.send(frame(QELMSG_PING, ""));  // may meet the close already
  EXPECT_TRUE(c.closedByServer());
  Frame f;
  EXPECT_FALSE(c.readFrame(f, 50));
  EXPECT_EQ(h.sim().stats().sent[QELMSG_PING_ACK], 0u);
}

TEST_F(FeedSimFaultsTest, DropAfterSecondsClosesTheConnection) {
  SimOptions o = quiet();
  o.dropAfterSeconds = 0.3;
  SimHarness h(o);
  RawClient c(h);
  ASSERT_TRUE(c.login());
  EXPECT_TRUE(c.closedByServer(3000));
  // Housekeeping looks every 20 ms.
  EXPECT_GE(h.elapsedMs(), 300);
  EXPECT_LT(h.elapsedMs(), 320);
}

TEST_F(FeedSimFaultsTest, StallStopsReadingAfterLogin) {
  SimOptions o = quiet();
  o.stall = true;
  SimHarness h(o);
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_PING, "")));  // before the login: answered
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.type, QELMSG_PING_ACK);
  ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, "AUTH^demo^demo") + frame(QELMSG_PING, "")));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.data, DEMO_MARKETS);
  ASSERT_TRUE(c.send(frame(QELMSG_PING, "")));
  EXPECT_TRUE(c.framesFor(200).empty());
  EXPECT_EQ(h.sim().stats().received[QELMSG_PING], 1u);
}

}  // namespace

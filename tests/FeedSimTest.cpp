#include "tools/feedsim/FeedSim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/SimHarness.h"

namespace {

class FeedSimTest : public ::testing::Test {
 protected:
  LogCapture log{3};
};

// --- connection and login ---------------------------------------------------

TEST_F(FeedSimTest, AnnouncesItsNameFirstOnConnect) {
  SimHarness h(quiet());
  ASSERT_TRUE(h.ok());
  RawClient c(h);
  ASSERT_TRUE(c.connected());
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(hex(f.bytes), hex(frame(QELMSG_NAME, "feedsim")));
}

TEST_F(FeedSimTest, LoginAnswersWithTheMarketListText) {
  SimHarness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_NAME, "default") + frame(QELMSG_SNAPSHOT, "AUTH^demo^demo")));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.type, QELMSG_IMAGE);
  EXPECT_EQ(f.rid, "AUTH^demo^demo");
  EXPECT_EQ(f.data, DEMO_MARKETS);
  EXPECT_EQ(h.sim().stats().violations, 0u);
}

TEST_F(FeedSimTest, LoginListsOnlyTheAccountsMarkets) {
  SimHarness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, "AUTH^lse^lse")));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.data, "LSE:R:LSE:0\n");
}

TEST_F(FeedSimTest, RefusedLoginGetsStatusError) {
  const char* const rids[] = {"AUTH^demo^wrong", "AUTH^nobody^demo", "AUTH^demo", "AUTH", "AUTH^^"};
  for (const char* rid : rids) {
    SCOPED_TRACE(rid);
    SimHarness h(quiet());
    RawClient c(h);
    Frame f;
    ASSERT_TRUE(c.readFrame(f));
    ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, rid)));
    ASSERT_TRUE(c.readFrame(f));
    EXPECT_EQ(hex(f.bytes), hex(frame(QELMSG_STATUS, rid, statusError())));
    EXPECT_EQ(h.sim().stats().violations, 0u);
    // Still not logged in: a request now is refused as premature.
    ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD")));
    EXPECT_TRUE(c.framesFor(50).empty());
    EXPECT_EQ(kind(h.sim(), "request before login"), 1u);
  }
}

TEST_F(FeedSimTest, PasswordMayHoldColons) {
  SimHarness h(quiet(), "market LSE R LSE 0\naccount u a:b:c\n");
  ASSERT_TRUE(h.ok());
  RawClient c(h);
  EXPECT_TRUE(c.login("u", "a:b:c"));
}

TEST_F(FeedSimTest, RequestsBeforeLoginAreIgnoredAndCounted) {
  SimHarness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD") + frame(QELMSG_SNAPSHOT, "SYM^LSE^VOD") +
                     frame(QELMSG_CLOSE, "L1^LSE^VOD") + frame(QELMSG_PING, "")));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.type, QELMSG_PING_ACK);  // the ping is answered, the requests are not
  EXPECT_TRUE(c.framesFor(50).empty());
  EXPECT_EQ(kind(h.sim(), "request before login"), 3u);
  EXPECT_TRUE(log.contains("protocol violation: request before login: OPEN L1^LSE^VOD"));
}

TEST_F(FeedSimTest, RepeatedLoginIsAViolation) {
  SimHarness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, "AUTH^demo^demo")));
  EXPECT_TRUE(c.framesFor(50).empty());
  EXPECT_EQ(kind(h.sim(), "repeated login"), 1u);
}

TEST_F(FeedSimTest, LoginByOpenIsAViolation) {
  SimHarness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "AUTH^demo^demo")));
  EXPECT_TRUE(c.framesFor(50).empty());
  EXPECT_EQ(kind(h.sim(), "login not by snapshot"), 1u);
}

// --- pings --------------------------------------------------------------------

TEST_F(FeedSimTest, PingIsAnsweredWithPingAck) {
  SimHarness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_PING, "")));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(hex(f.bytes), "09 00 00 00 07 00 00 00 4A");
  EXPECT_EQ(h.sim().stats().violations, 0u);
}

TEST_F(FeedSimTest, ServerPingsAtItsInterval) {
  SimOptions o = quiet();
  o.pingInterval = 1;
  SimHarness h(o);
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.readFrame(f, 3000));
  EXPECT_EQ(hex(f.bytes), "09 00 00 00 06 00 00 00 4A");
  EXPECT_EQ(h.elapsedMs(), 1000);
  ASSERT_TRUE(c.send(frame(QELMSG_PING_ACK, "")));
  h.advance(20);
  EXPECT_EQ(h.sim().stats().violations, 0u);
  ASSERT_TRUE(c.send(frame(QELMSG_PING_ACK, "")));  // nothing outstanding now
  h.advance(20);
  EXPECT_EQ(kind(h.sim(), "unsolicited ping answer"), 1u);
}

// --- publish, determinism, summary -----------------------------------------------

TEST_F(FeedSimTest, PublishSendsTheListAfterLoginThenRowChanges) {
  SimOptions o = withRate(50);
  o.publish = true;
  SimHarness h(o);
  RawClient c(h);
  ASSERT_TRUE(c.login("lse", "lse"));
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.type, QELMSG_PUBLISH);
  EXPECT_EQ(f.rid, "p#");
  std::vector<Command> cmds;
  ASSERT_TRUE(parseStream(f.data, cmds));
  ASSERT_EQ(cmds.size(), 5u);  // CLEAR and the four LSE instruments
  EXPECT_EQ(cmds[0].command, 5);
  const char* const rids[] = {"L1^LSE^VOD", "L1^LSE^BARC", "L1^LSE^HSBA", "L1^LSE^BP"};
  for (int i = 0; i < 4; ++i) {
    const Command& row = cmds[static_cast<std::size_t>(i) + 1];
    EXPECT_EQ(row.command, 1);
    ASSERT_FALSE(row.fields.empty());
    EXPECT_EQ(row.fields[0].first, 0u);
    EXPECT_EQ(row.fields[0].second, std::string(rids[i]) + '\0');
  }
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.type, QELMSG_PUBLISH);
  ASSERT_TRUE(parseStream(f.data, cmds));
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(cmds[0].command, 4);
  EXPECT_EQ(cmds[0].row, 0u);
  EXPECT_NE(cmds[0].field(fid("CUR")), nullptr);
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(parseStream(f.data, cmds));
  EXPECT_EQ(cmds[0].row, 1u);
}

TEST_F(FeedSimTest, PublishListMarksDelayedRecords) {
  SimOptions o = quiet();
  o.publish = true;
  SimHarness h(o);
  RawClient c(h);
  ASSERT_TRUE(c.login());
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  std::vector<Command> cmds;
  ASSERT_TRUE(parseStream(f.data, cmds));
  ASSERT_EQ(cmds.size(), 11u);
  EXPECT_EQ(cmds[5].fields[0].second, std::string("L1^NQ^MSFT^d") + '\0');
}

// Every byte of a short seeded run: name, login, two images, a SYM image, four ticks.
std::string seededRun(std::uint32_t seed) {
  SimOptions o = withRate(100);
  o.seeded = true;
  o.seed = seed;
  SimHarness h(o);
  RawClient c(h);
  if (!c.login()) return "";
  // All requests in one write: every image goes out before the first update tick.
  if (!c.send(frame(QELMSG_OPEN, "L1^LSE^VOD") + frame(QELMSG_OPEN, "L1^NQ^MSFT^d") +
              frame(QELMSG_SNAPSHOT, "SYM^LSE^VOD")))
    return "";
  Frame f;
  for (int i = 0; i < 3 + 8; ++i)
    if (!c.readFrame(f)) return "";
  return c.consumed();
}

TEST_F(FeedSimTest, SeedGivesIdenticalBytesOnEveryRun) {
  std::string first = seededRun(42);
  std::string second = seededRun(42);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(hex(first), hex(second));
  std::string other = seededRun(43);
  ASSERT_FALSE(other.empty());
  EXPECT_NE(hex(first), hex(other));
}

TEST_F(FeedSimTest, SummaryCountsFramesAndViolations) {
  SimHarness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD") + frame(QELMSG_OPEN, "L1^LSE^BP") +
                     frame(QELMSG_OPEN, "L1^LSE^NOPE") + frame(QELMSG_SNAPSHOT, "SYM^LSE^VOD") +
                     frame(QELMSG_CLOSE, "L1^LSE^VOD") + frame(QELMSG_PING, "") + frame(QELMSG_IMAGE, "x") +
                     frame(QELMSG_CLOSE, "L1^LSE^HSBA")));
  std::vector<Frame> frames = c.framesFor(80);
  EXPECT_EQ(frames.size(), 5u);
  std::string s = h.sim().summary();
  EXPECT_NE(s.find("clients: 1\n"), std::string::npos) << s;
  EXPECT_NE(s.find("frames received: OPEN=3 CLOSE=2 SNAPSHOT=2 PING=1 PING_ACK=0 NAME=1 IMAGE=1\n"),
            std::string::npos)
      << s;
  EXPECT_NE(s.find("frames sent: IMAGE=4 UPDATE=0 STATUS=1 PING=0 PING_ACK=1 PUBLISH=0 NAME=1\n"), std::string::npos)
      << s;
  EXPECT_NE(s.find("protocol violations: 2\n"), std::string::npos) << s;
  EXPECT_NE(s.find("  close of unopened record: 1\n"), std::string::npos) << s;
  EXPECT_NE(s.find("  server-only type: 1\n"), std::string::npos) << s;
  EXPECT_EQ(h.sim().exitCode(), 0);
}

TEST_F(FeedSimTest, FailOnViolationGivesExitCodeThree) {
  SimOptions o = quiet();
  o.failOnViolation = true;
  SimHarness h(o);
  EXPECT_EQ(h.sim().exitCode(), 0);
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_CLOSE, "L1^LSE^VOD")));
  h.advance(30);
  EXPECT_EQ(h.sim().exitCode(), 3);
}

TEST_F(FeedSimTest, ExitWhenIdleStopsAfterTheLastClientLeft) {
  SimOptions o = quiet();
  o.exitWhenIdle = true;
  SimHarness h(o);
  h.advance(20);
  EXPECT_FALSE(h.loop().quitPosted());  // nobody came yet
  RawClient a(h), b(h);
  ASSERT_TRUE(a.login());
  ASSERT_TRUE(b.login());
  a.close();
  h.advance(30);
  EXPECT_FALSE(h.loop().quitPosted());
  b.close();
  h.advance(30);
  EXPECT_TRUE(h.loop().quitPosted());
}

TEST_F(FeedSimTest, ExitAfterSecondsStops) {
  SimOptions o = quiet();
  o.exitAfterSeconds = 0.2;
  SimHarness h(o);
  h.advance(199);
  EXPECT_FALSE(h.loop().quitPosted());
  h.advance(20);  // housekeeping looks every 20 ms
  EXPECT_TRUE(h.loop().quitPosted());
}

TEST_F(FeedSimTest, ListenFailsOnAPortInUse) {
  LoopbackServer taken;
  SimOptions o = quiet();
  o.port = taken.port();
  EventLoop loop;
  SimData data;
  ASSERT_TRUE(data.loadBuiltin());
  FeedSim sim(o, data, loop);
  EXPECT_FALSE(sim.start());
  EXPECT_TRUE(log.contains("cannot listen on 127.0.0.1:" + std::to_string(taken.port())));
}

}  // namespace

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tests/SimHarness.h"

namespace {

const char* const IMAGE_FIELDS[] = {
    "BID",  "OFFER", "MID",    "SPREAD",          "CUR",             "CHANGE",           "CHANGE_PC",
    "OPEN", "HIGH",  "LOW",    "CLOSE",           "VOLUME",          "LAST_TRADE_SIZE",  "LAST_TRADE_TIME",
    "LAST_CHANGE_TIME", "LAST_TRADE_TYPE", "LAST_TRADE_FLAGS", "FLAGS", "NAME", "CURRENCY",
};

bool isDecimal(const std::string& s) {
  std::size_t i = s.size() && s[0] == '-' ? 1 : 0;
  bool digits = false, dot = false;
  for (; i < s.size(); ++i) {
    if (s[i] >= '0' && s[i] <= '9')
      digits = true;
    else if (s[i] == '.' && !dot)
      dot = true;
    else
      return false;
  }
  return digits;
}

class FeedSimRecordsTest : public ::testing::Test {
 protected:
  LogCapture log{3};
};

// --- level-1 and SYM records ------------------------------------------------

TEST_F(FeedSimRecordsTest, OpenedRecordGetsALevelOneImage) {
  SimHarness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.loginSendRead(frame(QELMSG_OPEN, "L1^LSE^VOD"), f));
  EXPECT_EQ(f.type, QELMSG_IMAGE);
  EXPECT_EQ(f.rid, "L1^LSE^VOD");
  std::vector<Command> cmds;
  ASSERT_TRUE(parseStream(f.data, cmds)) << hex(f.data);
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(cmds[0].command, 5);  // CLEAR
  EXPECT_EQ(cmds[1].command, 1);  // ADD_ROW
  ASSERT_EQ(cmds[1].fields.size(), sizeof IMAGE_FIELDS / sizeof IMAGE_FIELDS[0]);
  for (std::size_t i = 0; i < cmds[1].fields.size(); ++i) {
    SCOPED_TRACE(IMAGE_FIELDS[i]);
    EXPECT_EQ(cmds[1].fields[i].first, fid(IMAGE_FIELDS[i]));
    if (i < 18) {
      EXPECT_TRUE(isDecimal(cmds[1].fields[i].second)) << cmds[1].fields[i].second;
    }
  }
  const Command& row = cmds[1];
  long long bid = cents(*row.field(fid("BID"))), offer = cents(*row.field(fid("OFFER")));
  EXPECT_LT(bid, offer);
  EXPECT_EQ(cents(*row.field(fid("MID"))) * 2, bid + offer);
  EXPECT_EQ(cents(*row.field(fid("SPREAD"))), offer - bid);
  EXPECT_EQ(*row.field(fid("CLOSE")), "72.50");
  EXPECT_EQ(cents(*row.field(fid("CHANGE"))), cents(*row.field(fid("CUR"))) - 7250);
  EXPECT_LE(cents(*row.field(fid("LOW"))), cents(*row.field(fid("HIGH"))));
  EXPECT_EQ(*row.field(fid("NAME")), "Vodafone Group");
  EXPECT_EQ(*row.field(fid("CURRENCY")), "GBX");
  long long changed = std::atoll(row.field(fid("LAST_CHANGE_TIME"))->c_str());
  EXPECT_LE(std::llabs(changed - static_cast<long long>(std::time(nullptr))), 5);
}

TEST_F(FeedSimRecordsTest, OpenedRecordGetsSelectRowUpdates) {
  SimHarness h(withRate(50));
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.loginSendRead(frame(QELMSG_OPEN, "L1^LSE^VOD"), f));
  ASSERT_EQ(f.type, QELMSG_IMAGE);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(c.readFrame(f));
    EXPECT_EQ(f.type, QELMSG_UPDATE);
    EXPECT_EQ(f.rid, "L1^LSE^VOD");
    std::vector<Command> cmds;
    ASSERT_TRUE(parseStream(f.data, cmds)) << hex(f.data);
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].command, 4);  // SELECT_ROW
    EXPECT_EQ(cmds[0].row, 0u);
    EXPECT_NE(cmds[0].field(fid("LAST_CHANGE_TIME")), nullptr);
    for (const auto& field : cmds[0].fields) {
      bool known = false;
      for (const char* name : IMAGE_FIELDS) known = known || field.first == fid(name);
      EXPECT_TRUE(known) << field.first;
    }
  }
}

TEST_F(FeedSimRecordsTest, SeededTimeFieldsCountStepsFromAFixedBase) {
  SimOptions o = withRate(50);
  o.seeded = true;
  o.seed = 7;
  SimHarness h(o);
  RawClient c(h);
  Frame f;
  std::vector<Command> cmds;
  ASSERT_TRUE(c.loginSendRead(frame(QELMSG_OPEN, "L1^LSE^VOD"), f));
  ASSERT_TRUE(parseStream(f.data, cmds));
  EXPECT_EQ(*cmds[1].field(fid("LAST_CHANGE_TIME")), "1700000000");
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(c.readFrame(f));
    ASSERT_TRUE(parseStream(f.data, cmds));
    EXPECT_EQ(*cmds[0].field(fid("LAST_CHANGE_TIME")), std::to_string(1700000000 + i));
  }
}

long long realtimeMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

TEST_F(FeedSimRecordsTest, StampPutsTheSendTimeInTheTimeFieldOfImagesAndUpdates) {
  SimOptions o = withRate(50);
  o.stamp = true;
  SimHarness h(o);
  RawClient c(h);
  ASSERT_TRUE(c.login());
  long long before = realtimeMicros();
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD")));
  Frame f;
  std::vector<Command> cmds;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_EQ(f.type, QELMSG_IMAGE);
  ASSERT_TRUE(parseStream(f.data, cmds));
  ASSERT_EQ(cmds.size(), 2u);
  const std::string* stamp = cmds[1].field(fid("TIME"));
  ASSERT_NE(stamp, nullptr);
  long long last = std::atoll(stamp->c_str());
  EXPECT_EQ(std::to_string(last), *stamp);  // plain decimal digits
  EXPECT_GE(last, before);
  EXPECT_LE(last, realtimeMicros());
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(c.readFrameOfType(QELMSG_UPDATE, f));
    ASSERT_TRUE(parseStream(f.data, cmds));
    stamp = cmds[0].field(fid("TIME"));
    ASSERT_NE(stamp, nullptr);
    long long now = std::atoll(stamp->c_str());
    EXPECT_GE(now, last);
    EXPECT_LE(now, realtimeMicros());
    last = now;
  }
}

TEST_F(FeedSimRecordsTest, WithoutStampNoFrameCarriesTheTimeField) {
  SimHarness h(withRate(50));
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD")));
  Frame f;
  std::vector<Command> cmds;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(c.readFrame(f));
    ASSERT_TRUE(parseStream(f.data, cmds));
    for (const Command& cmd : cmds) EXPECT_EQ(cmd.field(fid("TIME")), nullptr);
  }
}

TEST_F(FeedSimRecordsTest, SpreadSendsThePeriodsUpdatesOneByOneInsteadOfInOneBurst) {
  SimOptions o = withRate(5);  // a period of 200 ms
  o.spread = true;
  SimHarness h(o);
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD") + frame(QELMSG_OPEN, "L1^LSE^BARC") +
                     frame(QELMSG_OPEN, "L1^LSE^HSBA") + frame(QELMSG_OPEN, "L1^LSE^BP")));
  int updates = 0, arrivals = 0;
  for (int ms = 0; ms < 1000; ms += 2) {
    int n = 0;
    for (const Frame& f : c.framesFor(2)) n += f.type == QELMSG_UPDATE ? 1 : 0;
    updates += n;
    arrivals += n > 0 ? 1 : 0;
  }
  // Four instruments at 5 a second: 20 updates in the second, each on its own,
  // 50 ms apart. In one burst per period they would come four at a time.
  EXPECT_GE(updates, 19);
  EXPECT_LE(updates, 20);
  EXPECT_EQ(arrivals, updates);
}

TEST_F(FeedSimRecordsTest, InstrumentsOptionAddsSyntheticInstrumentsTheDemoAccountCanOpen) {
  SimOptions o = quiet();
  o.instruments = 3;
  SimHarness h(o);
  ASSERT_TRUE(h.ok());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.loginSendRead(frame(QELMSG_OPEN, "L1^LSE^S0002") + frame(QELMSG_OPEN, "L1^LSE^S0003"), f));
  EXPECT_EQ(f.type, QELMSG_IMAGE);
  EXPECT_EQ(f.rid, "L1^LSE^S0002");
  std::vector<Command> cmds;
  ASSERT_TRUE(parseStream(f.data, cmds));
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(*cmds[1].field(fid("NAME")), "Synthetic S0002");
  EXPECT_TRUE(isDecimal(*cmds[1].field(fid("CLOSE"))));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(hex(f.bytes), hex(frame(QELMSG_STATUS, "L1^LSE^S0003", statusError())));
  EXPECT_EQ(h.sim().stats().violations, 0u);
}

TEST_F(FeedSimRecordsTest, DelayedMarketNeedsTheDelayForm) {
  SimHarness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.loginSendRead(frame(QELMSG_OPEN, "L1^NQ^MSFT^d"), f));
  EXPECT_EQ(f.type, QELMSG_IMAGE);
  EXPECT_EQ(h.sim().stats().violations, 0u);

  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^NQ^AAPL")));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(hex(f.bytes), hex(frame(QELMSG_STATUS, "L1^NQ^AAPL", statusError())));
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD^d")));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(hex(f.bytes), hex(frame(QELMSG_STATUS, "L1^LSE^VOD^d", statusError())));
  EXPECT_EQ(kind(h.sim(), "delay form"), 2u);
  // The SYM record of a delayed market has no delay form.
  ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, "SYM^NQ^AAPL")));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.type, QELMSG_IMAGE);
  EXPECT_EQ(h.sim().stats().violations, 2u);
}

TEST_F(FeedSimRecordsTest, UnknownRecordsGetStatusErrorWithoutViolation) {
  const char* const rids[] = {"L1^LSE^NOPE", "SYM^LSE^NOPE", "ERROR^XYZ^ABC", "ERROR^VOD", "L1^NQ^NOPE^d"};
  SimHarness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  for (const char* rid : rids) {
    for (unsigned char type : {QELMSG_OPEN, QELMSG_SNAPSHOT}) {
      SCOPED_TRACE(std::string(rid) + " " + FeedSim::typeName(type));
      ASSERT_TRUE(c.send(frame(type, rid)));
      Frame f;
      ASSERT_TRUE(c.readFrame(f));
      EXPECT_EQ(hex(f.bytes), hex(frame(QELMSG_STATUS, rid, statusError())));
    }
  }
  EXPECT_EQ(h.sim().stats().violations, 0u);
}

TEST_F(FeedSimRecordsTest, IdentifiersTheClientCannotBuildAreRefusedAndCounted) {
  struct Case {
    const char* rid;
    const char* kind;
  };
  const Case cases[] = {
      {"L1^LSE", "bad record identifier"},     {"L1^LSE^VOD^x", "bad record identifier"},
      {"L1^^VOD", "bad record identifier"},    {"SYM^LSE^VOD^d", "bad record identifier"},
      {"FOO^LSE^VOD", "bad record identifier"}, {"L1^XX^YY", "market not listed"},
      {"L1^NY^IBM", "market not listed"},      {"L1^lse^vod", "market not listed"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.rid);
    SimHarness h(quiet());
    RawClient c(h);
    Frame f;
    ASSERT_TRUE(c.loginSendRead(frame(QELMSG_OPEN, k.rid), f, "lse", "lse"));
    EXPECT_EQ(hex(f.bytes), hex(frame(QELMSG_STATUS, k.rid, statusError())));
    EXPECT_EQ(kind(h.sim(), k.kind), 1u);
    EXPECT_EQ(h.sim().stats().violations, 1u);
  }
}

TEST_F(FeedSimRecordsTest, SymbolSnapshotHasOneRowPerLanguage) {
  SimHarness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.loginSendRead(frame(QELMSG_SNAPSHOT, "SYM^LSE^VOD"), f));
  EXPECT_EQ(f.type, QELMSG_IMAGE);
  EXPECT_EQ(f.rid, "SYM^LSE^VOD");
  std::vector<Command> cmds;
  ASSERT_TRUE(parseStream(f.data, cmds));
  ASSERT_EQ(cmds.size(), 4u);
  EXPECT_EQ(cmds[0].command, 5);
  const char* const locales[] = {"en_GB", "de_DE", "fr_FR"};
  const std::vector<std::uint32_t> fids = {225, fid("NAME"), fid("DESCRIPTION"), fid("ISIN"),
                                           fid("CURRENCY"), fid("MARKET"), fid("SYMBOL")};
  for (int i = 0; i < 3; ++i) {
    const Command& row = cmds[static_cast<std::size_t>(i) + 1];
    EXPECT_EQ(row.command, 1);
    std::vector<std::uint32_t> got;
    for (const auto& field : row.fields) got.push_back(field.first);
    EXPECT_EQ(got, fids);
    EXPECT_EQ(*row.field(225), locales[i]);
    EXPECT_EQ(*row.field(fid("NAME")), "Vodafone Group");
    EXPECT_EQ(*row.field(fid("ISIN")), "GB00BH4HKS39");
    EXPECT_EQ(*row.field(fid("MARKET")), "LSE");
    EXPECT_EQ(*row.field(fid("SYMBOL")), "VOD");
  }
  EXPECT_EQ(*cmds[3].field(fid("DESCRIPTION")), "Vodafone Group Plc actions ordinaires, soci\xC3\xA9t\xC3\xA9 cot\xC3\xA9" "e");
  // A snapshot opens nothing: no updates and a close is out of place.
  ASSERT_TRUE(c.send(frame(QELMSG_CLOSE, "SYM^LSE^VOD")));
  EXPECT_TRUE(c.framesFor(50).empty());
  EXPECT_EQ(kind(h.sim(), "close of unopened record"), 1u);
}

TEST_F(FeedSimRecordsTest, InstrumentWithoutDescriptionsGetsOneEnglishRow) {
  SimHarness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.loginSendRead(frame(QELMSG_SNAPSHOT, "SYM^NY^IBM"), f));
  std::vector<Command> cmds;
  ASSERT_TRUE(parseStream(f.data, cmds));
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(*cmds[1].field(225), "en_GB");
  EXPECT_EQ(*cmds[1].field(fid("DESCRIPTION")), "International Business Machines");
  EXPECT_EQ(*cmds[1].field(fid("MARKET")), "NYSE");
}

TEST_F(FeedSimRecordsTest, OpenedSymbolRecordGetsItsImageButNoUpdates) {
  SimHarness h(withRate(50));
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.loginSendRead(frame(QELMSG_OPEN, "SYM^LSE^BARC"), f));
  EXPECT_EQ(f.type, QELMSG_IMAGE);
  EXPECT_TRUE(c.framesFor(100).empty());
  ASSERT_TRUE(c.send(frame(QELMSG_CLOSE, "SYM^LSE^BARC")));
  h.advance(20);
  EXPECT_EQ(h.sim().stats().violations, 0u);
}

TEST_F(FeedSimRecordsTest, SnapshotOfAnOpenRecordKeepsItsUpdates) {
  SimHarness h(withRate(50));
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.loginSendRead(frame(QELMSG_SNAPSHOT, "L1^LSE^BARC"), f));
  EXPECT_EQ(f.type, QELMSG_IMAGE);
  for (const Frame& g : c.framesFor(100)) EXPECT_NE(g.type, QELMSG_UPDATE);  // snapshot alone: no updates
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^BARC")));
  ASSERT_TRUE(c.readFrameOfType(QELMSG_IMAGE, f));
  ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, "L1^LSE^BARC")));
  ASSERT_TRUE(c.readFrameOfType(QELMSG_IMAGE, f));
  ASSERT_TRUE(c.readFrameOfType(QELMSG_UPDATE, f));
  EXPECT_EQ(f.rid, "L1^LSE^BARC");
  EXPECT_EQ(h.sim().stats().violations, 0u);
}

TEST_F(FeedSimRecordsTest, CloseStopsUpdates) {
  SimHarness h(withRate(50));
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD") + frame(QELMSG_OPEN, "L1^LSE^BP")));
  Frame f;
  ASSERT_TRUE(c.readFrameOfType(QELMSG_UPDATE, f));
  ASSERT_TRUE(c.send(frame(QELMSG_CLOSE, "L1^LSE^VOD")));
  c.framesFor(30);  // updates already on their way before the close
  int bp = 0;
  for (const Frame& g : c.framesFor(300)) {
    EXPECT_NE(g.rid, "L1^LSE^VOD");
    if (g.rid == "L1^LSE^BP") ++bp;
  }
  EXPECT_GT(bp, 5);  // the other record goes on
  EXPECT_EQ(h.sim().stats().violations, 0u);
}

TEST_F(FeedSimRecordsTest, CloseOfUnopenedRecordIsAViolation) {
  SimHarness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_CLOSE, "L1^LSE^VOD") + frame(QELMSG_CLOSE, "ERROR^XYZ")));
  EXPECT_TRUE(c.framesFor(50).empty());
  EXPECT_EQ(kind(h.sim(), "close of unopened record"), 2u);
  EXPECT_TRUE(log.contains("protocol violation: close of unopened record: L1^LSE^VOD"));
}

TEST_F(FeedSimRecordsTest, CloseOfARefusedOpenIsAllowed) {
  // The client may close a record before the ERROR for its open arrives.
  SimHarness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "ERROR^XYZ^ABC") + frame(QELMSG_CLOSE, "ERROR^XYZ^ABC") +
                     frame(QELMSG_OPEN, "L1^LSE^NOPE") + frame(QELMSG_CLOSE, "L1^LSE^NOPE")));
  std::vector<Frame> frames = c.framesFor(50);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].type, QELMSG_STATUS);
  EXPECT_EQ(frames[1].type, QELMSG_STATUS);
  EXPECT_EQ(h.sim().stats().violations, 0u);
  // A second close is one too many.
  ASSERT_TRUE(c.send(frame(QELMSG_CLOSE, "L1^LSE^NOPE")));
  c.framesFor(50);
  EXPECT_EQ(kind(h.sim(), "close of unopened record"), 1u);
}

TEST_F(FeedSimRecordsTest, OpenOfAnOpenRecordGetsAFreshImage) {
  SimHarness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD") + frame(QELMSG_OPEN, "L1^LSE^VOD")));
  std::vector<Frame> frames = c.framesFor(50);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].type, QELMSG_IMAGE);
  EXPECT_EQ(frames[1].type, QELMSG_IMAGE);
  EXPECT_EQ(h.sim().stats().violations, 0u);
  EXPECT_TRUE(log.contains("reopened L1^LSE^VOD"));
  // Still one subscription: one close ends it, a second is a violation.
  ASSERT_TRUE(c.send(frame(QELMSG_CLOSE, "L1^LSE^VOD") + frame(QELMSG_CLOSE, "L1^LSE^VOD")));
  c.framesFor(50);
  EXPECT_EQ(kind(h.sim(), "close of unopened record"), 1u);
}

TEST_F(FeedSimRecordsTest, ClientsAreServedIndependently) {
  SimHarness h(withRate(50));
  RawClient a(h), b(h), refused(h);
  ASSERT_TRUE(a.login());
  ASSERT_TRUE(b.login("lse", "lse"));
  Frame f;
  ASSERT_TRUE(refused.readFrame(f));
  ASSERT_TRUE(refused.send(frame(QELMSG_SNAPSHOT, "AUTH^demo^bad")));
  ASSERT_TRUE(refused.readFrame(f));
  EXPECT_EQ(f.type, QELMSG_STATUS);
  ASSERT_TRUE(a.send(frame(QELMSG_OPEN, "L1^NQ^MSFT^d")));
  ASSERT_TRUE(b.send(frame(QELMSG_OPEN, "L1^LSE^VOD")));
  int aUpdates = 0, bUpdates = 0;
  for (int i = 0; i < 10; ++i) {
    for (const Frame& g : a.framesFor(20))
      if (g.type == QELMSG_UPDATE && g.rid == "L1^NQ^MSFT^d") ++aUpdates;
    for (const Frame& g : b.framesFor(20)) {
      EXPECT_NE(g.rid, "L1^NQ^MSFT^d");
      if (g.type == QELMSG_UPDATE && g.rid == "L1^LSE^VOD") ++bUpdates;
    }
  }
  EXPECT_GT(aUpdates, 2);
  EXPECT_GT(bUpdates, 2);
  EXPECT_TRUE(refused.framesFor(20).empty());
  EXPECT_EQ(h.sim().clientCount(), 3u);
  a.close();
  h.advance(50);
  EXPECT_EQ(h.sim().clientCount(), 2u);
  EXPECT_FALSE(b.framesFor(60).empty());  // b goes on when a leaves
}

}  // namespace

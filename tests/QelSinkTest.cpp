#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "feed/QelSink.h"
#include "platform/Socket.h"
#include "tests/TestSupport.h"

namespace {

struct Recorder : QelSinkListener {
  std::vector<std::string> calls;
  std::function<void(QelSink&, QelMessage*)> onImage;
  void handleImage(QelSink& s, QelMessage* m) override {
    calls.push_back(std::string("image ") + m->getRID());
    if (onImage) onImage(s, m);
  }
  void handleUpdate(QelSink& s, QelMessage* m) override {
    calls.push_back(std::string("update ") + m->getRID());
    owners.push_back(s.recordOwner());
  }
  std::vector<void*> owners;  // of each update
  void handleStatus(QelSink&, QelRID rid, int o, int n) override {
    calls.push_back("status " + std::string(rid) + " " + std::to_string(o) + "->" + std::to_string(n));
  }
  void handlePing(QelSink&) override { calls.push_back("ping"); }
  void handlePingAck(QelSink&) override { calls.push_back("pingack"); }
  void handleDisconnect(QelSink&) override { calls.push_back("disconnect"); }
  void handleConnect(QelSink&) override { calls.push_back("connect"); }
  void openSent(QelSink&, QelRID rid) override { calls.push_back(std::string("openSent ") + rid); }
  void snapSent(QelSink&, QelRID rid) override { calls.push_back(std::string("snapSent ") + rid); }
  void closeSent(QelSink&, QelRID rid) override { calls.push_back(std::string("closeSent ") + rid); }
};

class TestSink : public QelSink {
 public:
  using QelSink::handleRead;
};

const std::string kName = frame(QELMSG_NAME, "default");
const char* const RID = "L1^LSE^VOD";

class QelSinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sink.registerHandleImage(&rec);
    sink.registerHandleUpdate(&rec);
    sink.registerHandleStatus(&rec);
    sink.registerHandlePing(&rec);
    sink.registerHandlePingAck(&rec);
    sink.registerHandleDisconnect(&rec);
    sink.registerHandleConnect(&rec);
    sink.registerOpenSent(&rec);
    sink.registerSnapSent(&rec);
    sink.registerCloseSent(&rec);
    connect();
    rec.calls.clear();
  }
  void connect() {
    ASSERT_TRUE(sink.connect("127.0.0.1", server.port()));
    ASSERT_GE(server.accept(), 0);
    ASSERT_EQ(server.receive(kName.size()), kName);
    socketSetNonBlocking(sink.getFD(), true);
  }
  void feed(const std::string& bytes) {
    ASSERT_TRUE(server.send(bytes));
    ASSERT_TRUE(waitReadable(sink.getFD(), 2000));
    while (waitReadable(sink.getFD(), 20)) sink.handleRead(sink.getFD());
  }
  int status(const char* rid = RID) { return sink.getRecordStatus(rid).status; }
  std::string sent() { return server.drain(30); }

  LoopbackServer server;
  TestSink sink;
  Recorder rec;
};

TEST_F(QelSinkTest, OpenImageUpdatesCloseLifecycle) {
  EXPECT_TRUE(sink.sendOpen(RID));
  EXPECT_EQ(status(), QELSTATUS_OPEN_WAIT);
  EXPECT_TRUE(sink.sendOpen(RID));  // already waiting: nothing sent
  EXPECT_EQ(sent(), frame(QELMSG_OPEN, RID));
  feed(frame(QELMSG_IMAGE, RID, "img") + frame(QELMSG_UPDATE, RID, "upd"));
  EXPECT_EQ(status(), QELSTATUS_OPEN);
  EXPECT_TRUE(sink.sendClose(RID));
  EXPECT_EQ(sent(), frame(QELMSG_CLOSE, RID));
  EXPECT_EQ(sink.numRecords(), 0);
  EXPECT_EQ(rec.calls, std::vector<std::string>({"openSent L1^LSE^VOD", "image L1^LSE^VOD", "update L1^LSE^VOD",
                                                  "closeSent L1^LSE^VOD"}));
}

TEST_F(QelSinkTest, RequestsRefusedOrSkippedByTheTable) {
  LogCapture logs;
  EXPECT_TRUE(sink.sendClose("NEVER"));  // not subscribed: nothing to do
  EXPECT_TRUE(sink.sendSnapshot("SYM^LSE^VOD"));
  EXPECT_FALSE(sink.sendSnapshot("SYM^LSE^VOD"));
  EXPECT_TRUE(logs.contains(" record in bad state SYM^LSE^VOD (SNAPSHOT_WAIT)"));
  EXPECT_EQ(sent(), frame(QELMSG_SNAPSHOT, "SYM^LSE^VOD"));
  EXPECT_TRUE(sink.sendOpen(RID));
  EXPECT_TRUE(sink.sendClose(RID));  // close while waiting for the image
  EXPECT_EQ(sent(), frame(QELMSG_OPEN, RID) + frame(QELMSG_CLOSE, RID));
  EXPECT_EQ(status(), QELSTATUS_CLOSED);
}

TEST_F(QelSinkTest, SnapshotImageRemovesTheRecordBeforeTheListenerRuns) {
  int seenInside = -1;
  rec.onImage = [&](QelSink& s, QelMessage* m) { seenInside = s.getRecordStatus(m->getRID()).status; };
  ASSERT_TRUE(sink.sendSnapshot("SYM^LSE^VOD"));
  feed(frame(QELMSG_IMAGE, "SYM^LSE^VOD", "x"));
  EXPECT_EQ(seenInside, QELSTATUS_CLOSED);
  EXPECT_EQ(sink.numRecords(), 0);
}

TEST_F(QelSinkTest, ImagesAndUpdatesBringBackTheTagOfTheirRecord) {
  int vod = 0, sym = 0;
  rec.onImage = [&](QelSink& s, QelMessage*) { rec.owners.push_back(s.recordOwner()); };
  sink.setRecordOwner(RID, &vod);  // not in the set yet: nothing to tag
  ASSERT_TRUE(sink.sendOpen(RID));
  ASSERT_TRUE(sink.sendSnapshot("SYM^LSE^VOD"));
  sink.setRecordOwner(RID, &vod);
  sink.setRecordOwner("SYM^LSE^VOD", &sym);
  // The snapshot's record leaves the set before its listener runs; its tag still comes back.
  feed(frame(QELMSG_IMAGE, RID, "1") + frame(QELMSG_UPDATE, RID, "2") + frame(QELMSG_IMAGE, "SYM^LSE^VOD", "3"));
  EXPECT_EQ(rec.owners, std::vector<void*>({&vod, &vod, &sym}));
  EXPECT_EQ(sink.recordOwner(), nullptr);
  // Closed, the record forgets its tag.
  ASSERT_TRUE(sink.sendClose(RID));
  ASSERT_TRUE(sink.sendOpen(RID));
  feed(frame(QELMSG_IMAGE, RID, "4"));
  EXPECT_EQ(rec.owners.back(), nullptr);
}

TEST_F(QelSinkTest, FramesForRecordsInTheWrongStateAreDropped) {
  LogCapture logs;
  feed(frame(QELMSG_UPDATE, "L1^LSE^BARC", "x") + frame(QELMSG_IMAGE, "L1^LSE^BARC", "x"));
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_EQ(logs.count(" record in bad state L1^LSE^BARC (CLOSED)"), 2);
  ASSERT_TRUE(sink.sendOpen(RID));
  feed(frame(QELMSG_IMAGE, RID, "1") + frame(QELMSG_IMAGE, RID, "2"));  // second image refused while OPEN
  EXPECT_EQ(std::count(rec.calls.begin(), rec.calls.end(), "image L1^LSE^VOD"), 1);
  EXPECT_TRUE(logs.contains(" record in bad state L1^LSE^VOD (OPEN)"));
}

TEST_F(QelSinkTest, StatusFramesMoveRecordsAndTellTheListener) {
  LogCapture logs;
  ASSERT_TRUE(sink.sendOpen(RID));
  feed(frame(QELMSG_STATUS, RID, le32(QELSTATUS_ERROR)));
  EXPECT_EQ(status(), QELSTATUS_CLOSED);
  EXPECT_EQ(rec.calls.back(), "status L1^LSE^VOD 1->7");

  ASSERT_TRUE(sink.sendOpen(RID));
  feed(frame(QELMSG_IMAGE, RID) + frame(QELMSG_STATUS, RID, le32(QELSTATUS_STALE)));
  EXPECT_EQ(status(), QELSTATUS_STALE);
  EXPECT_EQ(rec.calls.back(), "status L1^LSE^VOD 3->5");

  rec.calls.clear();
  feed(frame(QELMSG_STATUS, RID, le32(QELSTATUS_OPEN)));
  EXPECT_TRUE(logs.contains(" bad status L1^LSE^VOD OPEN"));
  EXPECT_TRUE(logs.contains(" record in bad state L1^LSE^VOD (STALE) ==> OPEN"));
  EXPECT_TRUE(rec.calls.empty());
  EXPECT_EQ(status(), QELSTATUS_STALE);
}

TEST_F(QelSinkTest, ShortStatusFrameIsLoggedAndIgnored) {
  LogCapture logs;
  ASSERT_TRUE(sink.sendOpen(RID));
  feed(frame(QELMSG_STATUS, RID, std::string("\x07\x00", 2)) + frame(QELMSG_PING, ""));
  EXPECT_TRUE(logs.contains(" bad status L1^LSE^VOD status frame of 2 data bytes")) << logs.text();
  EXPECT_EQ(status(), QELSTATUS_OPEN_WAIT);
  EXPECT_EQ(rec.calls.back(), "ping");  // the stream goes on
  EXPECT_FALSE(sink.isDisconnectPending());
}

TEST_F(QelSinkTest, PingIsAnsweredWithOneEmptyAck) {
  sent();
  feed(frame(QELMSG_PING, "") + frame(QELMSG_PING_ACK, ""));
  EXPECT_EQ(hex(sent()), "09 00 00 00 07 00 00 00 4A");
  EXPECT_EQ(rec.calls, std::vector<std::string>({"ping", "pingack"}));
  EXPECT_TRUE(sink.sendPing());
  EXPECT_EQ(hex(sent()), "09 00 00 00 06 00 00 00 4A");
}

TEST_F(QelSinkTest, DisconnectMarksOpenRecordsStaleAndReconnectReopensThem) {
  ASSERT_TRUE(sink.sendOpen("L1^A"));
  ASSERT_TRUE(sink.sendOpen("L1^B"));
  ASSERT_TRUE(sink.sendOpen("L1^C"));
  ASSERT_TRUE(sink.sendOpen("L1^W"));  // stays waiting
  feed(frame(QELMSG_IMAGE, "L1^A") + frame(QELMSG_IMAGE, "L1^B") + frame(QELMSG_IMAGE, "L1^C") +
       frame(QELMSG_STATUS, "L1^C", le32(QELSTATUS_STALE)));
  ASSERT_TRUE(sink.sendOpen("L1^C"));
  ASSERT_EQ(status("L1^C"), QELSTATUS_STALE_OPEN_WAIT);
  rec.calls.clear();

  LogCapture logs;
  sink.disconnect();
  EXPECT_EQ(rec.calls, std::vector<std::string>({"disconnect", "status L1^A 3->5", "status L1^B 3->5",
                                                  "status L1^C 6->5"}));
  EXPECT_EQ(status("L1^A"), QELSTATUS_STALE);
  EXPECT_EQ(status("L1^C"), QELSTATUS_STALE);  // caught while reopening: reopened again below
  EXPECT_EQ(status("L1^W"), QELSTATUS_OPEN_WAIT);
  EXPECT_TRUE(logs.contains(" record in bad state L1^W (OPEN_WAIT)"));

  rec.calls.clear();
  connect();
  EXPECT_TRUE(logs.contains("trying to reopen 4"));
  EXPECT_EQ(sent(), frame(QELMSG_OPEN, "L1^A") + frame(QELMSG_OPEN, "L1^B") + frame(QELMSG_OPEN, "L1^C"));
  EXPECT_EQ(status("L1^B"), QELSTATUS_STALE_OPEN_WAIT);
  EXPECT_EQ(rec.calls, std::vector<std::string>({"connect"}));  // no openSent during the walk
  feed(frame(QELMSG_IMAGE, "L1^B"));
  EXPECT_EQ(status("L1^B"), QELSTATUS_OPEN);
  EXPECT_EQ(rec.calls.back(), "image L1^B");
}

TEST_F(QelSinkTest, RequestWhileDisconnectedChangesNothing) {
  sink.disconnect();
  LogCapture logs;
  EXPECT_FALSE(sink.sendOpen(RID));
  EXPECT_TRUE(logs.contains("QelChannel::sendMessage - not connected"));
  EXPECT_EQ(sink.numRecords(), 0);
  EXPECT_FALSE(sink.sendPing());
}

std::time_t manualNow = 0;
std::time_t manualClock() { return manualNow; }

TEST_F(QelSinkTest, ProcessReopensStaleRecordsAtMostEveryOtherSecond) {
  manualNow = std::time(nullptr) + 100;  // past the construction second
  Restore clock([] { QelSink::setClock(nullptr); });
  QelSink::setClock(manualClock);
  LogCapture logs;
  for (int second = 0; second < 6; ++second, ++manualNow) {
    // The record goes stale again every second; it is reopened only every other one.
    if (second == 0) {
      ASSERT_TRUE(sink.sendOpen(RID));
    }
    feed(frame(QELMSG_IMAGE, RID) + frame(QELMSG_STATUS, RID, le32(QELSTATUS_STALE)));
    ASSERT_EQ(status(), QELSTATUS_STALE);
    sent();
    sink.process();
    sink.process();  // twice in one second changes nothing
    bool reopened = second % 2 == 0;
    EXPECT_EQ(status(), reopened ? QELSTATUS_STALE_OPEN_WAIT : QELSTATUS_STALE) << second;
    EXPECT_EQ(sent(), reopened ? frame(QELMSG_OPEN, RID) : "") << second;
    if (!reopened) {
      ASSERT_TRUE(sink.sendOpen(RID));  // reopened by hand, so the next image is taken
    }
  }
  EXPECT_EQ(logs.count("reopened stale 1"), 3);
}

// One cell of the table, driven through the sink: put RID in `from`, apply
// `action` for real (a request, a received frame or a disconnect), and compare.
struct Cell {
  int from;
  int action;
};

class QelSinkTableTest : public QelSinkTest, public ::testing::WithParamInterface<Cell> {
 protected:
  void driveTo(int target) {
    switch (target) {
      case QELSTATUS_OPEN_WAIT: ASSERT_TRUE(sink.sendOpen(RID)); break;
      case QELSTATUS_SNAPSHOT_WAIT: ASSERT_TRUE(sink.sendSnapshot(RID)); break;
      case QELSTATUS_OPEN: driveTo(QELSTATUS_OPEN_WAIT); feed(frame(QELMSG_IMAGE, RID)); break;
      case QELSTATUS_OPEN_SNAPSHOT_WAIT: driveTo(QELSTATUS_OPEN); ASSERT_TRUE(sink.sendSnapshot(RID)); break;
      case QELSTATUS_STALE: driveTo(QELSTATUS_OPEN); feed(frame(QELMSG_STATUS, RID, le32(QELSTATUS_STALE))); break;
      case QELSTATUS_STALE_OPEN_WAIT: driveTo(QELSTATUS_STALE); ASSERT_TRUE(sink.sendOpen(RID)); break;
      default: break;
    }
    ASSERT_EQ(status(), target);
  }
};

TEST_P(QelSinkTableTest, StoredStatusFollowsTheTable) {
  const Cell c = GetParam();
  driveTo(c.from);
  if (HasFatalFailure()) return;
  sent();
  LogCapture quiet(0);
  int expected = QelRecordStatus(c.from).getTransitionState(c.action);
  bool requestResult = true;
  switch (c.action) {
    case QELACTION_OPEN: requestResult = sink.sendOpen(RID); break;
    case QELACTION_SNAPSHOT: requestResult = sink.sendSnapshot(RID); break;
    case QELACTION_CLOSE: requestResult = sink.sendClose(RID); break;
    case QELACTION_IMAGE: feed(frame(QELMSG_IMAGE, RID)); break;
    case QELACTION_UPDATE: feed(frame(QELMSG_UPDATE, RID)); break;
    case QELACTION_STATUS_ERROR: feed(frame(QELMSG_STATUS, RID, le32(QELSTATUS_ERROR))); break;
    case QELACTION_STATUS_CLOSED: feed(frame(QELMSG_STATUS, RID, le32(QELSTATUS_CLOSED))); break;
    case QELACTION_STATUS_STALE: feed(frame(QELMSG_STATUS, RID, le32(QELSTATUS_STALE))); break;
    case QELACTION_DISCONNECT: sink.disconnect(); break;
    case QELACTION_REOPEN: {
      // The periodic stale check walks every record through this column.
      manualNow = std::time(nullptr) + 100;
      Restore clock([] { QelSink::setClock(nullptr); });
      QelSink::setClock(manualClock);
      sink.process();
      break;
    }
  }
  int after = expected == QELSTATUS_ERROR || expected == QELSTATUS_NO_CHANGE ? c.from : expected;
  EXPECT_EQ(status(), after);
  if (c.action <= QELACTION_CLOSE) {
    EXPECT_EQ(requestResult, expected != QELSTATUS_ERROR);
    bool wantFrame = expected != QELSTATUS_ERROR && expected != QELSTATUS_NO_CHANGE;
    EXPECT_EQ(!sent().empty(), wantFrame);
  }
  if (c.action == QELACTION_REOPEN) {
    EXPECT_EQ(sent(), expected == QELSTATUS_STALE_OPEN_WAIT ? frame(QELMSG_OPEN, RID) : "");
  }
}

std::vector<Cell> allCells() {
  std::vector<Cell> cells;
  for (int from = QELSTATUS_CLOSED; from <= QELSTATUS_STALE_OPEN_WAIT; ++from)
    for (int action = 0; action < QELACTION_COUNT; ++action)
      cells.push_back({from, action});
  return cells;
}

INSTANTIATE_TEST_SUITE_P(Cells, QelSinkTableTest, ::testing::ValuesIn(allCells()),
                         [](const ::testing::TestParamInfo<Cell>& info) {
                           return std::string(QelRecordStatus::statusName(info.param.from)) + "_action" +
                                  std::to_string(info.param.action);
                         });

}  // namespace

namespace {

struct UnregisteredSinkListener : QelSinkListener {};

TEST(QelSinkListenerDeathTest, DefaultBodiesAreAssertionTraps) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  QelSink sink;
  UnregisteredSinkListener l;
  EXPECT_DEATH(l.handleImage(sink, nullptr), "false");
  EXPECT_DEATH(l.handleStatus(sink, "X", 0, 7), "false");
  EXPECT_DEATH(l.closeSent(sink, "X"), "false");
}

}  // namespace

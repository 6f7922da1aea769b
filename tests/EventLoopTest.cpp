#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include <sys/socket.h>

#include <algorithm>

#include "platform/EventLoop.h"
#include "platform/Socket.h"
#include "tests/DdeLibraryHarness.h"
#include "tests/TestSupport.h"
#include "tests/fakes/ManualClock.h"

namespace {

struct Recorder : EventLoopHandler, TimerHandler {
  std::vector<std::string> events;
  std::function<void(int, unsigned)> onSocket;
  void handleSocketEvent(int fd, unsigned ev) override {
    events.push_back(ev == EVENT_READ ? "read" : ev == EVENT_WRITE ? "write" : "close");
    if (onSocket) onSocket(fd, ev);
  }
  void handleTimer(int id) override { events.push_back("timer" + std::to_string(id)); }
};

// Takes what a read event offers, so that the socket is not reported again for it.
void takeInput(int s) {
  char buf[64];
  socketRecv(s, buf, sizeof buf);
}

class EventLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server.listening());
    fd = socketOpenStream();
    std::uint32_t addr;
    std::string err;
    ASSERT_TRUE(socketResolve("127.0.0.1", addr, err));
    ASSERT_TRUE(socketConnect(fd, addr, server.port(), 2000));
    ASSERT_GE(server.accept(), 0);
    socketSetNonBlocking(fd, true);
  }
  void TearDown() override { socketClose(fd); }
  LoopbackServer server;
  int fd = -1;
};

TEST_F(EventLoopTest, ReportsReadWriteAndOneClose) {
  EventLoop loop;
  Recorder r;
  r.onSocket = [&](int s, unsigned ev) {
    if (ev == EVENT_READ) takeInput(s);
  };
  loop.watch(fd, &r, EVENT_READ | EVENT_CLOSE);
  EXPECT_FALSE(loop.runOnce(0));

  server.send("hello");
  ASSERT_TRUE(loop.runOnce(2000));
  EXPECT_EQ(r.events, std::vector<std::string>({"read"}));

  loop.setInterest(fd, EVENT_READ | EVENT_CLOSE | EVENT_WRITE);
  ASSERT_TRUE(loop.runOnce(2000));
  EXPECT_EQ(r.events.back(), "write");
  loop.setInterest(fd, EVENT_READ | EVENT_CLOSE);

  // Data that came before the close is read first, then the close is reported once.
  server.send("tail");
  server.closePeer();
  r.events.clear();
  while (loop.isWatched(fd) && loop.runOnce(2000)) {
  }
  EXPECT_EQ(r.events, std::vector<std::string>({"read", "close"}));
  EXPECT_FALSE(loop.isWatched(fd));
  EXPECT_FALSE(loop.runOnce(0));
}

// Wanting to write while handling a read is answered in the same turn, as
// on Windows, not after another wait for readiness; and only once.
TEST_F(EventLoopTest, WriteWantedDuringATurnIsOfferedInThatTurn) {
  EventLoop loop;
  Recorder r;
  r.onSocket = [&](int s, unsigned ev) {
    if (ev == EVENT_READ) {
      takeInput(s);
      loop.setInterest(s, EVENT_READ | EVENT_CLOSE | EVENT_WRITE);
      loop.setInterest(s, EVENT_READ | EVENT_CLOSE | EVENT_WRITE);
    } else if (ev == EVENT_WRITE) {
      loop.setInterest(s, EVENT_READ | EVENT_CLOSE);
    }
  };
  loop.watch(fd, &r, EVENT_READ | EVENT_CLOSE);
  server.send("x");
  ASSERT_TRUE(loop.runOnce(2000));
  EXPECT_EQ(r.events, std::vector<std::string>({"read", "write"}));
  EXPECT_FALSE(loop.runOnce(0));
}

TEST_F(EventLoopTest, TimersFireByIdAtTheirPeriods) {
  ManualClock clock;
  EventLoop loop(&clock);
  Recorder r;
  loop.setTimer(0, 10000, &r);
  loop.setTimer(1, 1000, &r);
  EXPECT_FALSE(loop.runOnce(0));
  clock.now += 1000;
  loop.runOnce(0);
  EXPECT_EQ(r.events, std::vector<std::string>({"timer1"}));
  clock.now += 9000;
  loop.runOnce(0);
  EXPECT_EQ(r.events, std::vector<std::string>({"timer1", "timer0", "timer1"}));
  // A loop that fell far behind fires once, not once per missed period.
  r.events.clear();
  clock.now += 5500;
  loop.runOnce(0);
  EXPECT_EQ(r.events, std::vector<std::string>({"timer1"}));
  loop.killTimer(1);
  clock.now += 20000;
  r.events.clear();
  loop.runOnce(0);
  EXPECT_EQ(r.events, std::vector<std::string>({"timer0"}));
}

TEST_F(EventLoopTest, AfterEventHookRunsInTheMainLoopOnly) {
  ManualClock clock;
  EventLoop loop(&clock);
  Recorder r;
  int hooks = 0;
  loop.setAfterEvent([&] { ++hooks; });
  loop.setTimer(1, 1000, &r);
  clock.now += 1000;
  loop.runOnce(0);
  EXPECT_EQ(hooks, 1);

  // A modal run dispatches the same events without the hook.
  int ticks = 0;
  struct Counter : TimerHandler {
    ManualClock* clock;
    int* ticks;
    void handleTimer(int) override {
      ++*ticks;
      clock->now += 1000;
    }
  } counter;
  counter.clock = &clock;
  counter.ticks = &ticks;
  loop.setTimer(1, 1000, &counter);
  clock.now += 1000;
  EXPECT_TRUE(loop.runUntil([&] { return ticks >= 3; }));
  EXPECT_EQ(hooks, 1);
}

TEST_F(EventLoopTest, QuitEndsRunAndModalRuns) {
  ManualClock clock;
  EventLoop loop(&clock);
  struct Quitter : TimerHandler {
    EventLoop* loop;
    bool modalResult = true;
    void handleTimer(int) override {
      // A nested modal run inside a handler sees the quit and gives up.
      loop->postQuit(0);
      modalResult = loop->runUntil([] { return false; });
    }
  } q;
  q.loop = &loop;
  loop.setTimer(0, 1, &q);
  clock.now += 1;
  EXPECT_EQ(loop.run(), 0);
  EXPECT_FALSE(q.modalResult);
  EXPECT_TRUE(loop.quitPosted());
}

TEST_F(EventLoopTest, HandlerMayUnwatchOtherSocketsSafely) {
  EventLoop loop;
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  // Both ends are writable in the same turn. Whichever handler runs first
  // drops the other end and puts a new watch on its very fd number; neither
  // the dropped handler nor the new one may hear of that turn's readiness.
  Recorder ends[2], newcomer;
  int dropped = -1;
  for (int i = 0; i < 2; ++i)
    ends[i].onSocket = [&, i](int, unsigned) {
      if (dropped >= 0) return;
      dropped = pair[1 - i];
      loop.unwatch(dropped);
      ASSERT_EQ(::dup2(pair[i], dropped), dropped);
      loop.watch(dropped, &newcomer, EVENT_WRITE);
    };
  loop.watch(pair[0], &ends[0], EVENT_WRITE);
  loop.watch(pair[1], &ends[1], EVENT_WRITE);
  ASSERT_TRUE(loop.runOnce(1000));
  ASSERT_GE(dropped, 0);
  EXPECT_EQ(ends[0].events.size() + ends[1].events.size(), 1u);
  EXPECT_TRUE(newcomer.events.empty());
  // The new watch is served from the next turn on.
  ASSERT_TRUE(loop.runOnce(1000));
  EXPECT_EQ(newcomer.events, std::vector<std::string>({"write"}));
  loop.unwatch(pair[0]);
  loop.unwatch(pair[1]);
  ::close(pair[0]);
  ::close(pair[1]);
}

TEST(EventLoopPost, RunsOnTheNextTurnInOrder) {
  ManualClock clock;
  EventLoop loop(&clock);
  std::vector<std::string> ran;
  int hooks = 0;
  loop.setAfterEvent([&] { ++hooks; });
  loop.post([&] {
    ran.push_back("a");
    // Posted from inside a posted function: waits for the turn after.
    loop.post([&] { ran.push_back("c"); });
  });
  loop.post([&] { ran.push_back("b"); });
  EXPECT_TRUE(ran.empty());
  EXPECT_TRUE(loop.runOnce(-1));  // must not wait: work is ready
  EXPECT_EQ(ran, std::vector<std::string>({"a", "b"}));
  EXPECT_EQ(hooks, 2);
  EXPECT_TRUE(loop.runOnce(-1));
  EXPECT_EQ(ran, std::vector<std::string>({"a", "b", "c"}));
  EXPECT_FALSE(loop.runOnce(0));

  // From a timer handler, and inside a modal run.
  struct Poster : TimerHandler {
    EventLoop* loop;
    std::vector<std::string>* ran;
    void handleTimer(int id) override {
      loop->killTimer(id);
      loop->post([this] { ran->push_back("posted"); });
    }
  } poster;
  poster.loop = &loop;
  poster.ran = &ran;
  ran.clear();
  loop.setTimer(loop.allocateTimerId(), 5, &poster);
  clock.now += 5;
  EXPECT_TRUE(loop.runUntil([&] { return !ran.empty(); }));
  EXPECT_EQ(ran, std::vector<std::string>({"posted"}));
}

// Each request costs the server 1 ms of the manual clock; the feed is a
// socket that always has bytes and is read a few at a time.
ManualClock* floodClock = nullptr;
DWORD floodInstance = 0;

HDDEDATA CALLBACK floodCallback(UINT type, UINT, HCONV, HSZ, HSZ item, HDDEDATA, ULONG_PTR, ULONG_PTR) {
  if (type == XTYP_CONNECT) return reinterpret_cast<HDDEDATA>(TRUE);
  if (type != XTYP_REQUEST) return nullptr;
  floodClock->now += 1;
  return DdeCreateDataHandle(floodInstance, reinterpret_cast<const BYTE*>("1"), 2, 0, item, CF_TEXT, 0);
}

struct FeedReader : EventLoopHandler {
  ManualClock* clock;
  std::vector<std::int64_t> readAt;
  void handleSocketEvent(int fd, unsigned) override {
    char buf[16];
    if (::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) readAt.push_back(clock->now);
  }
};

// Regression: a client flooding requests kept the loop in the DDE library
// until it had handled them all, and the feed went unread meanwhile.
TEST(EventLoopTurns, FeedIsReadWhileADdeClientFloodsRequests) {
  TempDir dir;
  ManualClock clock;
  EventLoop loop(&clock);
  floodClock = &clock;
  ASSERT_EQ(DdeInitializeW(&floodInstance, &floodCallback, CBF_FAIL_EXECUTES, 0), DMLERR_NO_ERROR);
  HSZ service = DdeCreateStringHandleA(floodInstance, "TAVRO", CP_WINANSI);
  ASSERT_NE(DdeNameService(floodInstance, service, nullptr, DNS_REGISTER), nullptr);

  int feed[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, feed), 0);
  std::string backlog(32768, 'f');
  ASSERT_EQ(::send(feed[1], backlog.data(), backlog.size(), 0), static_cast<ssize_t>(backlog.size()));
  FeedReader reader;
  reader.clock = &clock;
  loop.watch(feed[0], &reader, EVENT_READ);

  RawClient client(dir.ddeDir + "/TAVRO", loop);
  ASSERT_TRUE(client.ok());
  DdeBridgeMessage m;
  ASSERT_TRUE(client.send(connectMessage(1, "TAVRO", "lse_vod")));
  ASSERT_TRUE(client.next(m));
  ASSERT_EQ(m.kind, DDE_BRIDGE_CONNECTED);
  std::uint32_t conv = m.pairs.at(0).conv;

  const int requests = 1000;
  std::string flood;
  for (int i = 0; i < requests; ++i) ASSERT_TRUE(ddeBridgeEncode(requestMessage(10 + i, conv, "BID"), flood));
  reader.readAt.clear();
  std::int64_t start = clock.now;
  ASSERT_TRUE(client.send(flood));
  for (int answered = 0; answered < requests; ++answered) {
    ASSERT_TRUE(client.next(m)) << "after " << answered << " answers";
    ASSERT_EQ(m.kind, DDE_BRIDGE_DATA);
  }
  EXPECT_EQ(clock.now - start, requests);

  // The feed was read all through the flood, never more than one client's
  // share of a turn (and the turn's budget) apart.
  reader.readAt.insert(reader.readAt.begin(), start);
  std::int64_t longest = 0;
  for (std::size_t i = 1; i < reader.readAt.size(); ++i)
    longest = std::max(longest, reader.readAt[i] - reader.readAt[i - 1]);
  EXPECT_GE(reader.readAt.back(), clock.now - static_cast<std::int64_t>(DDE_BRIDGE_MESSAGES_PER_TURN));
  EXPECT_LE(longest, static_cast<std::int64_t>(DDE_BRIDGE_MESSAGES_PER_TURN) + EventLoop::TURN_BUDGET_MS);

  loop.unwatch(feed[0]);
  ::close(feed[0]);
  ::close(feed[1]);
  DdeUninitialize(floodInstance);
  floodClock = nullptr;
}

TEST(EventLoopTimerIds, NeverTheProgramsOwnNorTaken) {
  EventLoop loop;
  std::set<int> ids;
  for (int i = 0; i < 5; ++i) ids.insert(loop.allocateTimerId());
  EXPECT_EQ(ids.size(), 5u);
  EXPECT_EQ(ids.count(0) + ids.count(1), 0u);
  int given = *ids.begin();
  loop.releaseTimerId(given);
  EXPECT_EQ(loop.allocateTimerId(), given);  // a returned id is handed out again
  EXPECT_EQ(ids.count(loop.allocateTimerId()), 0u);
}

}  // namespace

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/Socket.h"
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
    if (ev == EVENT_READ) {
      char buf[64];
      socketRecv(s, buf, sizeof buf);
    }
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
  Recorder first, second;
  int other = socketOpenStream();
  first.onSocket = [&](int, unsigned) { loop.unwatch(other); };
  loop.watch(fd, &first, EVENT_WRITE);
  loop.watch(other, &second, EVENT_WRITE);
  loop.runOnce(1000);
  EXPECT_FALSE(loop.isWatched(other));
  socketClose(other);
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

#pragma once
// The single-threaded event loop every part of the program runs on: socket
// readiness (read, write, close), periodic timers by id, a quit request, and
// nested modal runs for dialogs and message boxes that must keep socket and
// timer events flowing, and work posted for the next turn. Handlers are not
// owned; they unwatch themselves.
// POSIX: poll() and a monotonic clock. Windows: the hidden window's messages.

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

enum : unsigned { EVENT_READ = 1u, EVENT_WRITE = 2u, EVENT_CLOSE = 4u };

class EventLoopHandler {
 public:
  virtual ~EventLoopHandler() = default;
  // `events` holds exactly one of EVENT_READ, EVENT_WRITE, EVENT_CLOSE.
  virtual void handleSocketEvent(int fd, unsigned events) = 0;
};

class TimerHandler {
 public:
  virtual ~TimerHandler() = default;
  virtual void handleTimer(int id) = 0;
};

// Time source of the timers, replaceable by a manual clock in tests.
class MonotonicClock {
 public:
  virtual ~MonotonicClock() = default;
  virtual std::int64_t nowMs() = 0;
};

class EventLoop {
 public:
  explicit EventLoop(MonotonicClock* clock = nullptr);
  ~EventLoop();
  // The most recently created loop still alive: platform services that have
  // no handle of their own to it (the DDE library) attach their sockets here.
  static EventLoop* current();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Watches `fd` for the events in `interest`. With EVENT_CLOSE the fd must be a
  // socket: an orderly or failed peer close is reported once as EVENT_CLOSE
  // (after the data that came before it), and the fd is then no longer watched.
  void watch(int fd, EventLoopHandler* handler, unsigned interest);
  void setInterest(int fd, unsigned interest);
  void unwatch(int fd);
  bool isWatched(int fd) const;
  // Reports EVENT_READ to `fd`'s handler on the next turn even if no new byte
  // comes: for a handler that stopped with input still in hand, having done
  // its share of work for one turn.
  void readAgain(int fd);

  // Ids are shared by everything on the loop: the program keeps 0 and 1 for
  // its own two timers, anyone else takes an id from allocateTimerId.
  void setTimer(int id, unsigned periodMs, TimerHandler* handler);
  void killTimer(int id);
  // An id no other user of the loop holds, never 0 or 1; smallest free first.
  int allocateTimerId();
  // Kills the id's timer and lets the id be handed out again.
  void releaseTimerId(int id);

  // Runs `fn` on the next turn of the loop (modal runs included), in the
  // order posted; what is posted meanwhile waits for the turn after.
  void post(std::function<void()> fn);

  // Called after every event dispatched by run(), not by modal runs.
  void setAfterEvent(std::function<void()> hook);

  void postQuit(int code);
  bool quitPosted() const { return m_quit; }

  // The time the timers run on, in ms of the loop's clock; what its users
  // measure intervals with, so that a manual clock drives them too.
  std::int64_t now();

  // Runs until a quit is posted; returns its code.
  int run();
  // Modal run: until `done` holds (true) or a quit is posted (false).
  bool runUntil(const std::function<bool()>& done);
  // Waits at most `maxWaitMs` (-1: until a timer is due) and dispatches what is
  // ready. False when nothing was dispatched.
  bool runOnce(int maxWaitMs);

  // Socket handlers of one turn may take about this long together; the
  // sockets still waiting then go first on the next turn. So no number of
  // busy peers keeps the loop from any one socket for much longer.
  static constexpr int TURN_BUDGET_MS = 5;

 private:
  struct Watch {
    EventLoopHandler* handler;
    unsigned interest;
    std::uint64_t generation;
  };
  struct Timer {
    unsigned periodMs;
    TimerHandler* handler;
    std::int64_t dueMs;
  };
  // A socket that the POSIX back-end found ready, as poll() reported it.
  struct Ready {
    int fd;
    int revents;
    std::uint64_t generation;
  };
  bool dispatch(int maxWaitMs, bool mainLoop);
  // Runs what was posted before this turn; true when anything ran.
  bool runPosted(bool mainLoop);
  // POSIX: the steps of one turn.
  int waitBound(int maxWaitMs, bool ranPosted);
  std::vector<Ready> pollWatches(int waitMs);
  bool serveSockets(const std::vector<Ready>& ready, bool mainLoop);
  bool serveSocket(const Ready& r);
  bool runTimers(bool mainLoop);
  bool writeSoon(bool mainLoop);

  MonotonicClock* m_clock;
  EventLoop* m_previous;
  std::map<int, Watch> m_watches;
  std::set<int> m_readAgain;
  int m_resumeFd = -1;  // POSIX: where the last turn's budget ran out
  // POSIX: sockets (and their watches' generations) that came to want writing this turn.
  std::vector<std::pair<int, std::uint64_t>> m_writeSoon;
  std::map<int, Timer> m_timers;
  std::set<int> m_timerIds;
  std::deque<std::function<void()>> m_posted;
  [[maybe_unused]] bool m_postSignalled = false;  // Windows: a message is on its way to run m_posted
  std::function<void()> m_afterEvent;
  std::uint64_t m_generation = 0;
  bool m_quit = false;
  int m_quitCode = 0;
};

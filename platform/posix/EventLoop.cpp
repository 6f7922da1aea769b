#include "platform/EventLoop.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <vector>

namespace {

class SteadyClock : public MonotonicClock {
 public:
  std::int64_t nowMs() override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
};

SteadyClock steadyClock;
EventLoop* currentLoop = nullptr;

#ifdef POLLRDHUP
// The peer's end of stream raises POLLRDHUP: a socket without it needs no look.
const short CLOSE_EVENTS = POLLRDHUP;
#else
const short CLOSE_EVENTS = 0;
#endif

// A readable socket whose next byte is end-of-stream (or a hard error) is a close.
bool peerClosed(int fd) {
  char c;
  ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return true;
  return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

}  // namespace

EventLoop::EventLoop(MonotonicClock* clock) : m_clock(clock ? clock : &steadyClock), m_previous(currentLoop) {
  currentLoop = this;
}

EventLoop::~EventLoop() {
  if (currentLoop == this) currentLoop = m_previous;
}

EventLoop* EventLoop::current() { return currentLoop; }

void EventLoop::watch(int fd, EventLoopHandler* handler, unsigned interest) {
  if (fd < 0 || !handler) return;
  m_watches[fd] = Watch{handler, interest, ++m_generation};
  m_readAgain.erase(fd);
}

void EventLoop::setInterest(int fd, unsigned interest) {
  auto it = m_watches.find(fd);
  if (it == m_watches.end()) return;
  if ((interest & EVENT_WRITE) && !(it->second.interest & EVENT_WRITE))
    m_writeSoon.emplace_back(fd, it->second.generation);
  it->second.interest = interest;
}

void EventLoop::unwatch(int fd) {
  m_watches.erase(fd);
  m_readAgain.erase(fd);
}

void EventLoop::readAgain(int fd) {
  if (m_watches.count(fd)) m_readAgain.insert(fd);
}

void EventLoop::setTimer(int id, unsigned periodMs, TimerHandler* handler) {
  if (!handler || periodMs == 0) return;
  m_timers[id] = Timer{periodMs, handler, now() + periodMs};
}

void EventLoop::killTimer(int id) { m_timers.erase(id); }

void EventLoop::post(std::function<void()> fn) {
  if (fn) m_posted.push_back(std::move(fn));
}

void EventLoop::postQuit(int code) {
  if (!m_quit) m_quitCode = code;
  m_quit = true;
}

int EventLoop::run() {
  while (!m_quit) dispatch(-1, true);
  return m_quitCode;
}

bool EventLoop::runUntil(const std::function<bool()>& done) {
  while (!done()) {
    if (m_quit) return false;
    dispatch(-1, false);
  }
  return true;
}

bool EventLoop::runOnce(int maxWaitMs) { return dispatch(maxWaitMs, true); }

bool EventLoop::dispatch(int maxWaitMs, bool mainLoop) {
  bool ranPosted = runPosted(mainLoop);
  bool served = serveSockets(pollWatches(waitBound(maxWaitMs, ranPosted)), mainLoop);
  bool fired = runTimers(mainLoop);
  bool wrote = writeSoon(mainLoop);
  return ranPosted || served || fired || wrote;
}

// A watched socket that came to want writing during the turn is offered the
// write now, as the Windows loop does, rather than after another poll() that
// would only say what is almost always so: that it has room.
bool EventLoop::writeSoon(bool mainLoop) {
  // Handlers may add to the list; what they add, the next poll() covers.
  std::size_t wanted = m_writeSoon.size();
  std::sort(m_writeSoon.begin(), m_writeSoon.begin() + static_cast<std::ptrdiff_t>(wanted));
  bool dispatched = false;
  for (std::size_t i = 0; i < wanted; ++i) {
    std::pair<int, std::uint64_t> w = m_writeSoon[i];
    if (i > 0 && m_writeSoon[i - 1] == w) continue;
    auto it = m_watches.find(w.first);
    if (it == m_watches.end() || it->second.generation != w.second || !(it->second.interest & EVENT_WRITE)) continue;
    it->second.handler->handleSocketEvent(w.first, EVENT_WRITE);
    dispatched = true;
  }
  m_writeSoon.clear();
  if (dispatched && mainLoop && m_afterEvent) m_afterEvent();
  return dispatched;
}

// Not at all while work is in hand; else until the next timer is due, within `maxWaitMs`.
int EventLoop::waitBound(int maxWaitMs, bool ranPosted) {
  if (ranPosted || !m_posted.empty() || !m_readAgain.empty() || m_resumeFd >= 0) return 0;
  int wait = maxWaitMs;
  std::int64_t start = now();
  for (const auto& t : m_timers) {
    std::int64_t left = t.second.dueMs - start;
    if (left < 0) left = 0;
    if (wait < 0 || left < wait) wait = static_cast<int>(left);
  }
  return wait;
}

// In fd order; a socket asked to be read again counts as readable.
std::vector<EventLoop::Ready> EventLoop::pollWatches(int waitMs) {
  std::vector<pollfd> fds;
  std::vector<std::uint64_t> generations;
  fds.reserve(m_watches.size());
  generations.reserve(m_watches.size());
  for (const auto& w : m_watches) {
    short events = 0;
    if (w.second.interest & (EVENT_READ | EVENT_CLOSE)) events |= POLLIN;
    if (w.second.interest & EVENT_CLOSE) events |= CLOSE_EVENTS;
    if (w.second.interest & EVENT_WRITE) events |= POLLOUT;
    if (!events) continue;
    fds.push_back(pollfd{w.first, events, 0});
    generations.push_back(w.second.generation);
  }
  m_writeSoon.clear();  // this poll() answers for them
  if (::poll(fds.data(), fds.size(), waitMs) < 0)  // EINTR: what was asked to be read again still is
    for (pollfd& p : fds) p.revents = 0;
  std::vector<Ready> found;
  for (std::size_t i = 0; i < fds.size(); ++i) {
    int revents = fds[i].revents;
    if (!revents && !m_readAgain.count(fds[i].fd)) continue;
    found.push_back(Ready{fds[i].fd, revents, generations[i]});
  }
  return found;
}

// Round robin from where the last turn stopped, until the turn's budget is spent.
bool EventLoop::serveSockets(const std::vector<Ready>& ready, bool mainLoop) {
  std::size_t n = ready.size(), first = 0;
  while (first < n && ready[first].fd < m_resumeFd) ++first;
  if (first == n) first = 0;
  m_resumeFd = -1;
  std::int64_t start = now();
  bool dispatched = false;
  for (std::size_t k = 0; k < n; ++k) {
    const Ready& r = ready[(first + k) % n];
    if (k > 0 && now() - start >= TURN_BUDGET_MS) {
      m_resumeFd = r.fd;
      break;
    }
    if (serveSocket(r)) {
      dispatched = true;
      if (mainLoop && m_afterEvent) m_afterEvent();
    }
  }
  return dispatched;
}

// Each step re-checks the watch: an earlier handler may have dropped or replaced it.
bool EventLoop::serveSocket(const Ready& r) {
  int fd = r.fd;
  auto current = [&]() -> Watch* {
    auto it = m_watches.find(fd);
    return it != m_watches.end() && it->second.generation == r.generation ? &it->second : nullptr;
  };
  Watch* w = current();
  if (!w) return false;
  bool again = m_readAgain.erase(fd) != 0;
  int rev = r.revents;
  if (rev & POLLNVAL) {
    // Closed behind the loop's back: drop it rather than spin on it.
    m_watches.erase(fd);
    return false;
  }
  bool dispatched = false;
  if (rev & (POLLIN | POLLHUP | POLLERR)) {
    bool ended = CLOSE_EVENTS == 0 || (rev & (CLOSE_EVENTS | POLLHUP | POLLERR));
    bool closed = (w->interest & EVENT_CLOSE) && ended &&
                  ((rev & (POLLHUP | POLLERR)) ? peerClosed(fd) || !(rev & POLLIN) : peerClosed(fd));
    if (closed) {
      EventLoopHandler* h = w->handler;
      m_watches.erase(fd);
      h->handleSocketEvent(fd, EVENT_CLOSE);
      return true;
    }
  }
  if (((rev & (POLLIN | POLLHUP | POLLERR)) || again) && (w->interest & EVENT_READ)) {
    w->handler->handleSocketEvent(fd, EVENT_READ);
    dispatched = true;
  }
  if ((rev & POLLOUT) && (w = current()) && (w->interest & EVENT_WRITE)) {
    w->handler->handleSocketEvent(fd, EVENT_WRITE);
    dispatched = true;
  }
  return dispatched;
}

bool EventLoop::runTimers(bool mainLoop) {
  bool fired = false;
  std::int64_t t = now();
  for (auto it = m_timers.begin(); it != m_timers.end();) {
    int id = it->first;
    if (it->second.dueMs > t) {
      ++it;
      continue;
    }
    Timer& timer = it->second;
    timer.dueMs += timer.periodMs;
    if (timer.dueMs <= t) timer.dueMs = t + timer.periodMs;  // fell behind: skip, do not burst
    timer.handler->handleTimer(id);
    fired = true;
    if (mainLoop && m_afterEvent) m_afterEvent();
    it = m_timers.upper_bound(id);  // the handler may have changed the timer set
  }
  return fired;
}

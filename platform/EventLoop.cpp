// The parts of the event loop both back-ends share.

#include "platform/EventLoop.h"

std::int64_t EventLoop::now() { return m_clock->nowMs(); }

bool EventLoop::isWatched(int fd) const { return m_watches.count(fd) != 0; }

void EventLoop::setAfterEvent(std::function<void()> hook) { m_afterEvent = std::move(hook); }

int EventLoop::allocateTimerId() {
  int id = 2;
  for (int taken : m_timerIds) {
    if (taken > id) break;
    if (taken == id) ++id;
  }
  m_timerIds.insert(id);
  return id;
}

void EventLoop::releaseTimerId(int id) {
  killTimer(id);
  m_timerIds.erase(id);
}

bool EventLoop::runPosted(bool mainLoop) {
  // Taken one at a time, so that a modal run inside one of them keeps the order.
  std::size_t due = m_posted.size();
  for (std::size_t i = 0; i < due && !m_posted.empty(); ++i) {
    std::function<void()> fn = std::move(m_posted.front());
    m_posted.pop_front();
    fn();
    if (mainLoop && m_afterEvent) m_afterEvent();
  }
  return due > 0;
}

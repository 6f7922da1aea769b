#pragma once
// A clock that moves only when the test moves it. An event loop made with it
// fires its timers, and its users measure their intervals, in the test's time.

#include <cstdint>

#include "platform/EventLoop.h"

class ManualClock : public MonotonicClock {
 public:
  std::int64_t nowMs() override { return now; }
  std::int64_t now = 1000;
};

#pragma once
// Helpers shared by the tests: log capture, a private directory, a loopback
// TCP peer with bounded waits, and frame builders. Everything binds to
// 127.0.0.1 on ephemeral ports.

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// Undoes a change to process-wide state (a clock, the user's locale) when
// the test ends, however it ends.
class Restore {
 public:
  explicit Restore(std::function<void()> undo) : m_undo(std::move(undo)) {}
  ~Restore() {
    if (m_undo) m_undo();
  }
  Restore(const Restore&) = delete;
  Restore& operator=(const Restore&) = delete;

 private:
  std::function<void()> m_undo;
};

// The process's time zone (TZ) for the life of the object; then the old one.
class TimeZoneGuard {
 public:
  explicit TimeZoneGuard(const char* tz);
  ~TimeZoneGuard();
  TimeZoneGuard(const TimeZoneGuard&) = delete;
  TimeZoneGuard& operator=(const TimeZoneGuard&) = delete;

 private:
  bool m_had = false;
  std::string m_old;
};

// A small seeded generator for tests that walk many random operations: the
// same sequence with every compiler and library, so a failing walk repeats.
class TestRandom {
 public:
  explicit TestRandom(std::uint32_t seed) : m_state(seed) {}
  // A number below `n` (n > 0).
  std::uint32_t below(std::uint32_t n) {
    m_state = m_state * 1103515245u + 12345u;
    return (m_state >> 16) % n;
  }

 private:
  std::uint32_t m_state;
};

// Routes every log level into a string for the life of the object.
class LogCapture {
 public:
  explicit LogCapture(int level = 4);
  ~LogCapture();
  std::string text() const { return m_out.str(); }
  bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
  int count(const std::string& s) const;
  void clear() { m_out.str(""); }

 private:
  std::ostringstream m_out;
  int m_oldLevel;
};

// A fresh directory for the life of the object, removed with all it holds.
// TAVRO_DDE_DIR names `ddeDir` meanwhile, so that the local DDE sockets of
// one test never meet another's.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string root;    // "" when it could not be made
  std::string ddeDir;  // root + "/dde", made by whoever first listens there
};

// A listening socket on 127.0.0.1 that accepts one peer at a time.
class LoopbackServer {
 public:
  LoopbackServer();
  ~LoopbackServer();
  int port() const { return m_port; }
  bool listening() const { return m_listenFd >= 0; }
  // Waits at most `timeoutMs` for a client; the accepted socket, or -1.
  int accept(int timeoutMs = 5000);
  int peer() const { return m_peerFd; }
  bool send(const std::string& bytes);
  bool send(const char* data, std::size_t length);
  // Reads until `n` bytes have arrived or `timeoutMs` passed.
  std::string receive(std::size_t n, int timeoutMs = 5000);
  // Whatever arrives within `timeoutMs`.
  std::string drain(int timeoutMs = 100);
  void closePeer();
  void closeListener();

 private:
  int m_listenFd = -1;
  int m_peerFd = -1;
  int m_port = 0;
};

bool waitReadable(int fd, int timeoutMs);
bool waitWritable(int fd, int timeoutMs);
// Calls `step` until `done` holds or `timeoutMs` passed; true when done.
bool pollUntil(const std::function<bool()>& done, const std::function<void()>& step, int timeoutMs = 5000);

// A frame as the feed sends it: length, type, rid length, reserved, rid, NUL, data, 'J'.
std::string frame(unsigned char type, const std::string& rid, const std::string& data = "");
std::string le32(std::uint32_t v);
std::string hex(const std::string& bytes);

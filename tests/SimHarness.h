#pragma once
// A feedsim on its own loop in this thread, on a manual clock, and raw
// clients of it that read frames back independently of the feed library.
// The clients turn the loop whenever they wait, so server and clients run
// interleaved without threads. The clock moves a millisecond only when a turn
// finds nothing to do, so what the simulator answers at once arrives at the
// same instant and its timers fire at exact times; only the first idle turn
// after some activity waits (a millisecond) for bytes still on their way.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/QelMessage.h"
#include "platform/EventLoop.h"
#include "platform/Socket.h"
#include "tests/TestSupport.h"
#include "tests/fakes/ManualClock.h"
#include "tools/feedsim/FeedSim.h"
#include "tools/feedsim/SimData.h"
#include "tools/feedsim/SimOptions.h"
#include "tools/feedsim/SimQuote.h"

// The market list of the built-in demo account.
const std::string DEMO_MARKETS = "LSE:R:LSE:0\nNQ:D:NASDAQ:1\nNY:R:NYSE:2\n";

struct Frame {
  unsigned type = 0;
  std::string rid;
  std::string data;
  std::string bytes;
};

// One command of an update stream.
struct Command {
  int command = 0;
  unsigned row = 0;
  std::vector<std::pair<std::uint32_t, std::string>> fields;
  const std::string* field(std::uint32_t fid) const {
    for (const auto& f : fields)
      if (f.first == fid) return &f.second;
    return nullptr;
  }
};

inline std::uint32_t u32(const std::string& s, std::size_t pos) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(s[pos])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[pos + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[pos + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[pos + 3])) << 24;
}

// Strict: false when any count, row number or field runs past the end.
inline bool parseStream(const std::string& s, std::vector<Command>& out) {
  out.clear();
  if (s.size() < 4) return false;
  std::uint32_t items = u32(s, 0);
  std::uint32_t counted = 0;
  std::size_t pos = 4;
  while (pos < s.size()) {
    Command c;
    c.command = static_cast<unsigned char>(s[pos++]);
    bool hasRow = c.command == 2 || c.command == 3 || c.command == 4;
    bool hasFields = c.command == 1 || c.command == 2 || c.command == 4;
    if (c.command < 1 || c.command > 5) return false;
    if (hasRow) {
      if (s.size() - pos < 4) return false;
      c.row = u32(s, pos);
      pos += 4;
    }
    ++counted;
    if (hasFields) {
      if (s.size() - pos < 4) return false;
      std::uint32_t n = u32(s, pos);
      pos += 4;
      ++counted;
      for (std::uint32_t i = 0; i < n; ++i) {
        if (s.size() - pos < 10) return false;
        std::uint32_t fid = u32(s, pos);
        std::uint32_t length = u32(s, pos + 4);
        if (s.size() - pos - 10 < length) return false;
        c.fields.emplace_back(fid, s.substr(pos + 10, length));
        pos += 10 + length;
      }
    }
    out.push_back(c);
  }
  return counted == items;
}

inline long long cents(const std::string& s) { return std::llround(std::atof(s.c_str()) * 100); }
inline std::uint32_t fid(const char* name) { return simFid(name); }
inline std::string statusError() { return le32(7); }

// How many violations of one kind the simulator counted.
inline unsigned long kind(FeedSim& sim, const std::string& k) {
  auto it = sim.stats().violationKinds.find(k);
  return it == sim.stats().violationKinds.end() ? 0 : it->second;
}

inline SimOptions quiet() {
  SimOptions o;
  o.rate = 0;
  o.pingInterval = 0;
  return o;
}

inline SimOptions withRate(double rate) {
  SimOptions o = quiet();
  o.rate = rate;
  return o;
}

class SimHarness {
 public:
  explicit SimHarness(SimOptions options = SimOptions(), const std::string& dataText = "") : m_start(m_clock.now) {
    options.host = "127.0.0.1";
    options.port = 0;
    m_dataOk = dataText.empty() ? m_data.loadBuiltin() : m_data.parse(dataText);
    m_sim.reset(new FeedSim(options, m_data, m_loop));
    m_started = m_sim->start();
  }
  bool ok() const { return m_dataOk && m_started; }
  FeedSim& sim() { return *m_sim; }
  EventLoop& loop() { return m_loop; }
  std::int64_t elapsedMs() const { return m_clock.now - m_start; }
  // One turn of the loop, waiting at most `waitMs` for its sockets; true when it dispatched anything.
  bool turn(int waitMs) { return m_loop.runOnce(waitMs); }
  void tick() { ++m_clock.now; }
  // Moves the clock `ms` on, a millisecond at a time, each time running the
  // loop until it has nothing left to do.
  void advance(int ms) {
    for (int i = 0; i < ms; ++i) {
      while (turn(0)) {
      }
      tick();
    }
    while (turn(1)) {
    }
  }

 private:
  ManualClock m_clock;
  EventLoop m_loop{&m_clock};
  std::int64_t m_start;
  SimData m_data;
  std::unique_ptr<FeedSim> m_sim;
  bool m_dataOk = false;
  bool m_started = false;
};

// Every wait is in milliseconds of the harness's clock; for a simulator in
// another process (no harness), in real milliseconds.
class RawClient {
 public:
  explicit RawClient(SimHarness& h) : RawClient(h.sim().port(), &h) {}
  explicit RawClient(int port, SimHarness* h = nullptr) : m_h(h) {
    std::uint32_t address = 0;
    std::string error;
    if (!socketResolve("127.0.0.1", address, error)) return;
    m_fd = socketOpenStream();
    if (m_fd >= 0 && socketConnect(m_fd, address, port, 2000)) {
      socketSetNonBlocking(m_fd, true);
    } else {
      socketClose(m_fd);
      m_fd = -1;
    }
  }
  ~RawClient() { close(); }
  bool connected() const { return m_fd >= 0; }
  void close() {
    socketClose(m_fd);
    m_fd = -1;
  }

  bool send(const std::string& bytes, int timeoutMs = 3000) {
    std::size_t done = 0;
    for (int waited = 0; done < bytes.size() && waited < timeoutMs;) {
      int n = socketSend(m_fd, bytes.data() + done, static_cast<int>(bytes.size() - done));
      if (n > 0)
        done += static_cast<std::size_t>(n);
      else
        waited += turn();
    }
    m_quiet = false;
    return done == bytes.size();
  }

  // Turns the loop until a whole frame is buffered or the time is up.
  bool readFrame(Frame& f, int timeoutMs = 3000) {
    for (int waited = 0;;) {
      if (takeFrame(f)) return true;
      if (waited >= timeoutMs || m_eof) return false;
      waited += turn();
    }
  }
  // The next frame of `type`, skipping others (kept in `skipped`).
  bool readFrameOfType(unsigned type, Frame& f, int timeoutMs = 3000) {
    for (int waited = 0;;) {
      while (takeFrame(f)) {
        if (f.type == type) return true;
        skipped.push_back(f);
      }
      if (waited >= timeoutMs || m_eof) return false;
      waited += turn();
    }
  }
  std::string readBytes(std::size_t n, int timeoutMs = 3000) {
    for (int waited = 0; m_buffer.size() < n && waited < timeoutMs && !m_eof;) waited += turn();
    std::string out = m_buffer.substr(0, n);
    m_buffer.erase(0, out.size());
    return out;
  }
  // Every frame that arrives within `ms`.
  std::vector<Frame> framesFor(int ms) {
    std::vector<Frame> out;
    Frame f;
    for (int waited = 0; waited < ms;) {
      waited += turn();
      while (takeFrame(f)) out.push_back(f);
    }
    while (step(1)) {
    }
    while (takeFrame(f)) out.push_back(f);
    return out;
  }
  // True when the server closes the connection within `timeoutMs`.
  bool closedByServer(int timeoutMs = 3000) {
    for (int waited = 0; !m_eof && waited < timeoutMs;) waited += turn();
    return m_eof;
  }
  const std::string& received() const { return m_all; }
  // The bytes of every frame taken so far, in arrival order.
  std::string consumed() const { return m_all.substr(0, m_all.size() - m_buffer.size()); }
  std::vector<Frame> skipped;

  // NAME announcement, then the client's name and the login.
  bool login(const std::string& user = "demo", const std::string& password = "demo") {
    Frame f;
    if (!readFrame(f) || f.type != QELMSG_NAME) return false;
    if (!send(frame(QELMSG_NAME, "default") + frame(QELMSG_SNAPSHOT, "AUTH^" + user + "^" + password))) return false;
    return readFrame(f) && f.type == QELMSG_IMAGE;
  }
  // The start of most tests: the login, `bytes` sent, and the first frame back in `f`.
  ::testing::AssertionResult loginSendRead(const std::string& bytes, Frame& f, const std::string& user = "demo",
                                           const std::string& password = "demo") {
    if (!login(user, password)) return ::testing::AssertionFailure() << "login as " << user << " failed";
    if (!send(bytes)) return ::testing::AssertionFailure() << "could not send " << bytes.size() << " bytes";
    if (!readFrame(f)) return ::testing::AssertionFailure() << "no frame came back";
    return ::testing::AssertionSuccess();
  }

 private:
  // One turn of the loop, then whatever arrived; true when either did something.
  bool step(int waitMs) {
    bool busy = m_h ? m_h->turn(waitMs) : waitReadable(m_fd, waitMs);
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        m_buffer.append(buf, static_cast<std::size_t>(n));
        m_all.append(buf, static_cast<std::size_t>(n));
        busy = true;
        continue;
      }
      if (n == 0 && !m_eof) busy = m_eof = true;
      return busy;
    }
  }
  // A step, and when it found nothing to do, a millisecond on; the ms it took.
  int turn() {
    if (!m_h) return step(1) ? 0 : 1;
    m_quiet = !step(m_quiet ? 0 : 1);
    if (!m_quiet) return 0;
    m_h->tick();
    return 1;
  }
  bool takeFrame(Frame& f) {
    if (m_buffer.size() < 4) return false;
    std::uint32_t length = u32(m_buffer, 0);
    if (length < 9 || m_buffer.size() < length) return false;
    f.bytes = m_buffer.substr(0, length);
    f.type = static_cast<unsigned char>(f.bytes[4]);
    std::size_t ridLength = static_cast<unsigned char>(f.bytes[5]);
    if (9 + ridLength > length) return false;
    f.rid = f.bytes.substr(7, ridLength);
    f.data = f.bytes.substr(8 + ridLength, length - 9 - ridLength);
    m_buffer.erase(0, length);
    return true;
  }

  SimHarness* m_h;
  int m_fd = -1;
  bool m_eof = false;
  bool m_quiet = false;
  std::string m_buffer;
  std::string m_all;
};

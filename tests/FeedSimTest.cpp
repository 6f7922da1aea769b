#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "feed/StdFID.h"
#include "platform/EventLoop.h"
#include "platform/Socket.h"
#include "tests/TestSupport.h"
#include "tools/feedsim/FeedSim.h"
#include "tools/feedsim/SimData.h"
#include "tools/feedsim/SimOptions.h"
#include "tools/feedsim/SimQuote.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string DEMO_MARKETS = "LSE:R:LSE:0\nNQ:D:NASDAQ:1\nNY:R:NYSE:2\n";
const char* const IMAGE_FIELDS[] = {
    "BID",  "OFFER", "MID",    "SPREAD",          "CUR",             "CHANGE",           "CHANGE_PC",
    "OPEN", "HIGH",  "LOW",    "CLOSE",           "VOLUME",          "LAST_TRADE_SIZE",  "LAST_TRADE_TIME",
    "LAST_CHANGE_TIME", "LAST_TRADE_TYPE", "LAST_TRADE_FLAGS", "FLAGS", "NAME", "CURRENCY",
};

struct Frame {
  unsigned type = 0;
  std::string rid;
  std::string data;
  std::string bytes;
};

// One command of an update stream as read back by the test, independently of
// the feed library's reader.
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

std::uint32_t u32(const std::string& s, std::size_t pos) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(s[pos])) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[pos + 1])) << 8 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[pos + 2])) << 16 |
         static_cast<std::uint32_t>(static_cast<unsigned char>(s[pos + 3])) << 24;
}

// Strict: false when any count, row number or field runs past the end.
bool parseStream(const std::string& s, std::vector<Command>& out) {
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

long long cents(const std::string& s) { return std::llround(std::atof(s.c_str()) * 100); }

std::uint32_t fid(const char* name) { return simFid(name); }

// A feedsim on its own loop in this thread; the clients below turn the loop
// whenever they wait, so server and client run interleaved without threads.
class Harness {
 public:
  explicit Harness(SimOptions options = SimOptions(), const std::string& dataText = "") {
    options.host = "127.0.0.1";
    options.port = 0;
    m_dataOk = dataText.empty() ? m_data.loadBuiltin() : m_data.parse(dataText);
    m_sim.reset(new FeedSim(options, m_data, m_loop));
    m_started = m_sim->start();
  }
  bool ok() const { return m_dataOk && m_started; }
  FeedSim& sim() { return *m_sim; }
  EventLoop& loop() { return m_loop; }
  void pump(int ms) {
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) m_loop.runOnce(5);
  }

 private:
  EventLoop m_loop;
  SimData m_data;
  std::unique_ptr<FeedSim> m_sim;
  bool m_dataOk = false;
  bool m_started = false;
};

class RawClient {
 public:
  explicit RawClient(Harness& h) : m_h(h) {
    std::uint32_t address = 0;
    std::string error;
    if (!socketResolve("127.0.0.1", address, error)) return;
    m_fd = socketOpenStream();
    if (m_fd >= 0 && socketConnect(m_fd, address, h.sim().port(), 2000)) {
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

  bool send(const std::string& bytes) {
    std::size_t done = 0;
    auto end = Clock::now() + std::chrono::seconds(3);
    while (done < bytes.size() && Clock::now() < end) {
      int n = socketSend(m_fd, bytes.data() + done, static_cast<int>(bytes.size() - done));
      if (n > 0)
        done += static_cast<std::size_t>(n);
      else
        m_h.loop().runOnce(5);
    }
    return done == bytes.size();
  }

  // Turns the loop until a whole frame is buffered or the time is up.
  bool readFrame(Frame& f, int timeoutMs = 3000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (takeFrame(f)) return true;
      if (Clock::now() >= end || m_eof) return false;
      step();
    }
  }
  // The next frame of `type`, skipping others (kept in `skipped`).
  bool readFrameOfType(unsigned type, Frame& f, int timeoutMs = 3000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || !readFrame(f, static_cast<int>(left))) return false;
      if (f.type == type) return true;
      skipped.push_back(f);
    }
  }
  std::string readBytes(std::size_t n, int timeoutMs = 3000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_buffer.size() < n && Clock::now() < end && !m_eof) step();
    std::string out = m_buffer.substr(0, n);
    m_buffer.erase(0, out.size());
    return out;
  }
  // Every frame that arrives within `ms`.
  std::vector<Frame> framesFor(int ms) {
    std::vector<Frame> out;
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    Frame f;
    while (Clock::now() < end) {
      while (takeFrame(f)) out.push_back(f);
      step();
    }
    while (takeFrame(f)) out.push_back(f);
    return out;
  }
  // True when the server closes the connection within `timeoutMs`.
  bool closedByServer(int timeoutMs = 3000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!m_eof && Clock::now() < end) step();
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

 private:
  void step() {
    m_h.loop().runOnce(2);
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        m_buffer.append(buf, static_cast<std::size_t>(n));
        m_all.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) m_eof = true;
      break;
    }
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

  Harness& m_h;
  int m_fd = -1;
  bool m_eof = false;
  std::string m_buffer;
  std::string m_all;
};

SimOptions quiet() {
  SimOptions o;
  o.rate = 0;
  o.pingInterval = 0;
  return o;
}

SimOptions withRate(double rate) {
  SimOptions o = quiet();
  o.rate = rate;
  return o;
}

class FeedSimTest : public ::testing::Test {
 protected:
  LogCapture log{3};
};

std::string statusError() { return le32(7); }

unsigned long kind(FeedSim& sim, const std::string& k) {
  auto it = sim.stats().violationKinds.find(k);
  return it == sim.stats().violationKinds.end() ? 0 : it->second;
}

// --- connection and login ---------------------------------------------------

TEST_F(FeedSimTest, AnnouncesItsNameFirstOnConnect) {
  Harness h(quiet());
  ASSERT_TRUE(h.ok());
  RawClient c(h);
  ASSERT_TRUE(c.connected());
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(hex(f.bytes), hex(frame(QELMSG_NAME, "feedsim")));
}

TEST_F(FeedSimTest, LoginAnswersWithTheMarketListText) {
  Harness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_NAME, "default") + frame(QELMSG_SNAPSHOT, "AUTH^demo^demo")));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.type, QELMSG_IMAGE);
  EXPECT_EQ(f.rid, "AUTH^demo^demo");
  EXPECT_EQ(f.data, DEMO_MARKETS);
  EXPECT_EQ(h.sim().stats().violations, 0u);
}

TEST_F(FeedSimTest, LoginListsOnlyTheAccountsMarkets) {
  Harness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, "AUTH^lse^lse")));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.data, "LSE:R:LSE:0\n");
}

TEST_F(FeedSimTest, RefusedLoginGetsStatusError) {
  const char* const rids[] = {"AUTH^demo^wrong", "AUTH^nobody^demo", "AUTH^demo", "AUTH", "AUTH^^"};
  for (const char* rid : rids) {
    SCOPED_TRACE(rid);
    Harness h(quiet());
    RawClient c(h);
    Frame f;
    ASSERT_TRUE(c.readFrame(f));
    ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, rid)));
    ASSERT_TRUE(c.readFrame(f));
    EXPECT_EQ(hex(f.bytes), hex(frame(QELMSG_STATUS, rid, statusError())));
    EXPECT_EQ(h.sim().stats().violations, 0u);
    // Still not logged in: a request now is refused as premature.
    ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD")));
    EXPECT_TRUE(c.framesFor(50).empty());
    EXPECT_EQ(kind(h.sim(), "request before login"), 1u);
  }
}

TEST_F(FeedSimTest, PasswordMayHoldColons) {
  Harness h(quiet(), "market LSE R LSE 0\naccount u a:b:c\n");
  ASSERT_TRUE(h.ok());
  RawClient c(h);
  EXPECT_TRUE(c.login("u", "a:b:c"));
}

TEST_F(FeedSimTest, RequestsBeforeLoginAreIgnoredAndCounted) {
  Harness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD") + frame(QELMSG_SNAPSHOT, "SYM^LSE^VOD") +
                     frame(QELMSG_CLOSE, "L1^LSE^VOD") + frame(QELMSG_PING, "")));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.type, QELMSG_PING_ACK);  // the ping is answered, the requests are not
  EXPECT_TRUE(c.framesFor(50).empty());
  EXPECT_EQ(kind(h.sim(), "request before login"), 3u);
  EXPECT_TRUE(log.contains("protocol violation: request before login: OPEN L1^LSE^VOD"));
}

TEST_F(FeedSimTest, RepeatedLoginIsAViolation) {
  Harness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, "AUTH^demo^demo")));
  EXPECT_TRUE(c.framesFor(50).empty());
  EXPECT_EQ(kind(h.sim(), "repeated login"), 1u);
}

TEST_F(FeedSimTest, LoginByOpenIsAViolation) {
  Harness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "AUTH^demo^demo")));
  EXPECT_TRUE(c.framesFor(50).empty());
  EXPECT_EQ(kind(h.sim(), "login not by snapshot"), 1u);
}

// --- level-1 and SYM records ------------------------------------------------

TEST_F(FeedSimTest, OpenedRecordGetsALevelOneImage) {
  Harness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD")));
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
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

TEST_F(FeedSimTest, OpenedRecordGetsSelectRowUpdates) {
  Harness h(withRate(50));
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD")));
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
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

TEST_F(FeedSimTest, SeededTimeFieldsCountStepsFromAFixedBase) {
  SimOptions o = withRate(50);
  o.seeded = true;
  o.seed = 7;
  Harness h(o);
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD")));
  Frame f;
  std::vector<Command> cmds;
  ASSERT_TRUE(c.readFrame(f));
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

TEST_F(FeedSimTest, StampPutsTheSendTimeInTheTimeFieldOfImagesAndUpdates) {
  SimOptions o = withRate(50);
  o.stamp = true;
  Harness h(o);
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

TEST_F(FeedSimTest, WithoutStampNoFrameCarriesTheTimeField) {
  Harness h(withRate(50));
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

TEST_F(FeedSimTest, SpreadSendsThePeriodsUpdatesOneByOneInsteadOfInOneBurst) {
  SimOptions o = withRate(5);  // a period of 200 ms
  o.spread = true;
  Harness h(o);
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD") + frame(QELMSG_OPEN, "L1^LSE^BARC") +
                     frame(QELMSG_OPEN, "L1^LSE^HSBA") + frame(QELMSG_OPEN, "L1^LSE^BP")));
  int updates = 0, arrivals = 0;
  auto end = Clock::now() + std::chrono::milliseconds(1000);
  while (Clock::now() < end) {
    int n = 0;
    for (const Frame& f : c.framesFor(2)) n += f.type == QELMSG_UPDATE ? 1 : 0;
    updates += n;
    arrivals += n > 0 ? 1 : 0;
  }
  // Four instruments at 5 a second: about 20 updates, about 50 ms apart. In
  // one burst per period they would come four at a time.
  EXPECT_GE(updates, 10);
  EXPECT_LE(updates, 30);
  EXPECT_GT(arrivals * 2, updates) << arrivals << " arrivals for " << updates << " updates";
}

TEST_F(FeedSimTest, InstrumentsOptionAddsSyntheticInstrumentsTheDemoAccountCanOpen) {
  SimOptions o = quiet();
  o.instruments = 3;
  Harness h(o);
  ASSERT_TRUE(h.ok());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^S0002") + frame(QELMSG_OPEN, "L1^LSE^S0003")));
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
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

TEST_F(FeedSimTest, SyntheticInstrumentsNumberFromS0000AndNeedTheirMarket) {
  SimData d;
  ASSERT_TRUE(d.loadBuiltin());
  std::size_t builtin = d.instruments().size();
  ASSERT_TRUE(d.addSyntheticInstruments(10001));
  EXPECT_EQ(d.instruments().size(), builtin + 10001);
  for (const char* code : {"S0000", "S0999", "S9999", "S10000"}) EXPECT_NE(d.findInstrument("LSE", code), nullptr) << code;
  EXPECT_EQ(d.findInstrument("LSE", "S10001"), nullptr);
  EXPECT_NE(d.findInstrument("LSE", "VOD"), nullptr);

  // A code already taken, or no such market: nothing is added.
  SimData taken;
  ASSERT_TRUE(taken.parse("market LSE R LSE 0\naccount u p\ninstrument LSE S0001 GBX X 1.00 Taken\n"));
  EXPECT_FALSE(taken.addSyntheticInstruments(5));
  EXPECT_TRUE(log.contains("synthetic instrument LSE S0001 is already in the data"));
  EXPECT_EQ(taken.instruments().size(), 1u);

  SimOptions o = quiet();
  o.instruments = 5;
  o.port = 0;
  EventLoop loop;
  SimData other;
  ASSERT_TRUE(other.parse("market XX R XX 0\naccount u p\n"));
  FeedSim sim(o, other, loop);
  EXPECT_FALSE(sim.start());
  EXPECT_TRUE(log.contains("no market LSE for the synthetic instruments"));
}

TEST_F(FeedSimTest, DelayedMarketNeedsTheDelayForm) {
  Harness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  Frame f;
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^NQ^MSFT^d")));
  ASSERT_TRUE(c.readFrame(f));
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

TEST_F(FeedSimTest, UnknownRecordsGetStatusErrorWithoutViolation) {
  const char* const rids[] = {"L1^LSE^NOPE", "SYM^LSE^NOPE", "ERROR^XYZ^ABC", "ERROR^VOD", "L1^NQ^NOPE^d"};
  Harness h(quiet());
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

TEST_F(FeedSimTest, IdentifiersTheClientCannotBuildAreRefusedAndCounted) {
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
    Harness h(quiet());
    RawClient c(h);
    ASSERT_TRUE(c.login("lse", "lse"));
    ASSERT_TRUE(c.send(frame(QELMSG_OPEN, k.rid)));
    Frame f;
    ASSERT_TRUE(c.readFrame(f));
    EXPECT_EQ(hex(f.bytes), hex(frame(QELMSG_STATUS, k.rid, statusError())));
    EXPECT_EQ(kind(h.sim(), k.kind), 1u);
    EXPECT_EQ(h.sim().stats().violations, 1u);
  }
}

TEST_F(FeedSimTest, SymbolSnapshotHasOneRowPerLanguage) {
  Harness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, "SYM^LSE^VOD")));
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
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

TEST_F(FeedSimTest, InstrumentWithoutDescriptionsGetsOneEnglishRow) {
  Harness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, "SYM^NY^IBM")));
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  std::vector<Command> cmds;
  ASSERT_TRUE(parseStream(f.data, cmds));
  ASSERT_EQ(cmds.size(), 2u);
  EXPECT_EQ(*cmds[1].field(225), "en_GB");
  EXPECT_EQ(*cmds[1].field(fid("DESCRIPTION")), "International Business Machines");
  EXPECT_EQ(*cmds[1].field(fid("MARKET")), "NYSE");
}

TEST_F(FeedSimTest, OpenedSymbolRecordGetsItsImageButNoUpdates) {
  Harness h(withRate(50));
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "SYM^LSE^BARC")));
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.type, QELMSG_IMAGE);
  EXPECT_TRUE(c.framesFor(100).empty());
  ASSERT_TRUE(c.send(frame(QELMSG_CLOSE, "SYM^LSE^BARC")));
  h.pump(20);
  EXPECT_EQ(h.sim().stats().violations, 0u);
}

TEST_F(FeedSimTest, SnapshotOfAnOpenRecordKeepsItsUpdates) {
  Harness h(withRate(50));
  RawClient c(h);
  ASSERT_TRUE(c.login());
  Frame f;
  ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, "L1^LSE^BARC")));
  ASSERT_TRUE(c.readFrame(f));
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

TEST_F(FeedSimTest, CloseStopsUpdates) {
  Harness h(withRate(50));
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

TEST_F(FeedSimTest, CloseOfUnopenedRecordIsAViolation) {
  Harness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_CLOSE, "L1^LSE^VOD") + frame(QELMSG_CLOSE, "ERROR^XYZ")));
  EXPECT_TRUE(c.framesFor(50).empty());
  EXPECT_EQ(kind(h.sim(), "close of unopened record"), 2u);
  EXPECT_TRUE(log.contains("protocol violation: close of unopened record: L1^LSE^VOD"));
}

TEST_F(FeedSimTest, CloseOfARefusedOpenIsAllowed) {
  // The client may close a record before the ERROR for its open arrives.
  Harness h(quiet());
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

TEST_F(FeedSimTest, OpenOfAnOpenRecordGetsAFreshImage) {
  Harness h(quiet());
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

TEST_F(FeedSimTest, ClientsAreServedIndependently) {
  Harness h(withRate(50));
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
  h.pump(50);
  EXPECT_EQ(h.sim().clientCount(), 2u);
  EXPECT_FALSE(b.framesFor(60).empty());  // b goes on when a leaves
}

// --- pings --------------------------------------------------------------------

TEST_F(FeedSimTest, PingIsAnsweredWithPingAck) {
  Harness h(quiet());
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_PING, "")));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(hex(f.bytes), "09 00 00 00 07 00 00 00 4A");
  EXPECT_EQ(h.sim().stats().violations, 0u);
}

TEST_F(FeedSimTest, ServerPingsAtItsInterval) {
  SimOptions o = quiet();
  o.pingInterval = 1;
  Harness h(o);
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  auto start = Clock::now();
  ASSERT_TRUE(c.readFrame(f, 3000));
  double waited = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_EQ(hex(f.bytes), "09 00 00 00 06 00 00 00 4A");
  EXPECT_GT(waited, 0.7);
  EXPECT_LT(waited, 2.0);
  ASSERT_TRUE(c.send(frame(QELMSG_PING_ACK, "")));
  h.pump(20);
  EXPECT_EQ(h.sim().stats().violations, 0u);
  ASSERT_TRUE(c.send(frame(QELMSG_PING_ACK, "")));  // nothing outstanding now
  h.pump(20);
  EXPECT_EQ(kind(h.sim(), "unsolicited ping answer"), 1u);
}

// --- what a client may not send -------------------------------------------------

TEST_F(FeedSimTest, UnreadableClientFramesCloseThatClient) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  std::string badTrailer = frame(QELMSG_OPEN, "L1^LSE^VOD");
  badTrailer.back() = 'K';
  std::string noNul = frame(QELMSG_OPEN, "ABC");
  noNul[10] = 'x';
  std::string ridOverrun = frame(QELMSG_PING, "");
  ridOverrun[5] = 9;
  const Case cases[] = {
      {"trailer", badTrailer},
      {"terminator", noNul},
      {"rid length", ridOverrun},
      {"length below 9", le32(3) + std::string(5, '\0')},
      {"length too big", le32(1u << 20) + std::string(16, '\0')},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Harness h(quiet());
    RawClient c(h), other(h);
    ASSERT_TRUE(c.login());
    ASSERT_TRUE(other.login());
    ASSERT_TRUE(c.send(k.bytes + frame(QELMSG_PING, "")));
    EXPECT_TRUE(c.closedByServer());
    EXPECT_EQ(kind(h.sim(), "bad frame"), 1u);
    EXPECT_EQ(h.sim().stats().violations, 1u);
    EXPECT_EQ(h.sim().stats().received[QELMSG_PING], 0u);  // nothing after the bad frame is read
    ASSERT_TRUE(other.send(frame(QELMSG_PING, "")));
    Frame f;
    ASSERT_TRUE(other.readFrame(f));
    EXPECT_EQ(f.type, QELMSG_PING_ACK);
  }
}

TEST_F(FeedSimTest, FramesAClientMustNotSendAreCountedAndDropped) {
  struct Case {
    std::string bytes;
    const char* kind;
  };
  const Case cases[] = {
      {frame(QELMSG_OPEN, "L1^LSE^VOD", "x"), "data from client"},
      {frame(QELMSG_PING, "", "abcd"), "data from client"},
      {frame(QELMSG_IMAGE, "L1^LSE^VOD"), "server-only type"},
      {frame(QELMSG_UPDATE, "L1^LSE^VOD"), "server-only type"},
      {frame(QELMSG_STATUS, "L1^LSE^VOD", le32(7)), "server-only type"},
      {frame(QELMSG_PUBLISH, "p#"), "server-only type"},
      {frame(12, "x"), "unknown type"},
      {frame(QELMSG_OPEN, std::string("L1^LSE\0^VOD", 11)), "bad record identifier"},
      {frame(QELMSG_PING, "x"), "record identifier on a ping"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(hex(k.bytes));
    Harness h(quiet());
    RawClient c(h);
    ASSERT_TRUE(c.login());
    ASSERT_TRUE(c.send(k.bytes + frame(QELMSG_PING, "")));
    Frame f;
    ASSERT_TRUE(c.readFrame(f));
    EXPECT_EQ(f.type, QELMSG_PING_ACK) << "connection kept, no answer to the bad frame";
    EXPECT_EQ(kind(h.sim(), k.kind), 1u);
    EXPECT_EQ(h.sim().stats().violations, 1u);
  }
}

// --- faults ----------------------------------------------------------------------

TEST_F(FeedSimTest, MalformedFaultSendsOneBadFrameRightAfterLogin) {
  struct Case {
    SimMalformed kind;
    const char* bytes;
  };
  const Case cases[] = {
      {SimMalformed::LENGTH, "05 00 00 00 06 00 00 00 4A"},
      {SimMalformed::RIDLENGTH, "0A 00 00 00 06 FF 00 78 00 4A"},
      {SimMalformed::TRAILER, "09 00 00 00 06 00 00 00 58"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.bytes);
    SimOptions o = quiet();
    o.malformed = k.kind;
    Harness h(o);
    RawClient c(h);
    ASSERT_TRUE(c.login());
    std::string expected = k.bytes;
    std::string got = c.readBytes((expected.size() + 1) / 3);
    EXPECT_EQ(hex(got), expected);
    // Only once, and only after the login.
    ASSERT_TRUE(c.send(frame(QELMSG_PING, "")));
    EXPECT_EQ(hex(c.readBytes(9)), "09 00 00 00 07 00 00 00 4A");
    EXPECT_EQ(h.sim().stats().sent[QELMSG_PING], 1u);
  }
}

TEST_F(FeedSimTest, MalformedFaultWaitsForTheLogin) {
  SimOptions o = quiet();
  o.malformed = SimMalformed::TRAILER;
  Harness h(o);
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, "AUTH^demo^bad") + frame(QELMSG_PING, "")));
  std::vector<Frame> frames = c.framesFor(60);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].type, QELMSG_STATUS);
  EXPECT_EQ(frames[1].bytes.back(), 'J');
}

TEST_F(FeedSimTest, TruncatedUpdateIsCutInsideItsFirstField) {
  SimOptions o = withRate(50);
  o.truncatedUpdate = true;
  Harness h(o);
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD")));
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_EQ(f.type, QELMSG_IMAGE);
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_EQ(f.type, QELMSG_UPDATE);
  // The frame itself is sound...
  EXPECT_EQ(u32(f.bytes, 0), f.bytes.size());
  EXPECT_EQ(f.bytes.back(), 'J');
  // ...but its stream stops inside the first field's data.
  const std::string& s = f.data;
  ASSERT_GT(s.size(), 23u);
  EXPECT_EQ(s[4], 4);        // SELECT_ROW
  EXPECT_EQ(u32(s, 5), 0u);  // row 0
  EXPECT_GE(u32(s, 9), 1u);  // field count
  std::uint32_t length = u32(s, 17);
  EXPECT_GT(23u + length, s.size());
  EXPECT_GT(s.size(), 23u);
  std::vector<Command> cmds;
  EXPECT_FALSE(parseStream(s, cmds));
  // The next update is whole again.
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_TRUE(parseStream(f.data, cmds)) << hex(f.data);
}

TEST_F(FeedSimTest, SplitBytesWritesOneBytePerWrite) {
  SimOptions o = quiet();
  o.splitBytes = true;
  Harness h(o);
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD")));
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  std::vector<Command> cmds;
  EXPECT_TRUE(parseStream(f.data, cmds));
  const SimStats& s = h.sim().stats();
  EXPECT_GT(s.bytesWritten, 100u);
  EXPECT_EQ(s.writeCalls, s.bytesWritten);
  EXPECT_EQ(c.received().size(), s.bytesWritten);
}

TEST_F(FeedSimTest, WithoutSplitBytesAFrameIsOneWrite) {
  Harness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  const SimStats& s = h.sim().stats();
  EXPECT_EQ(s.writeCalls, 2u);  // NAME, login answer
}

TEST_F(FeedSimTest, DropAfterFramesClosesOnceThatManyWereSent) {
  SimOptions o = quiet();
  o.dropAfterFrames = 2;
  Harness h(o);
  RawClient c(h);
  ASSERT_TRUE(c.login());  // NAME and the login answer are the two frames
  c.send(frame(QELMSG_PING, ""));  // may meet the close already
  EXPECT_TRUE(c.closedByServer());
  Frame f;
  EXPECT_FALSE(c.readFrame(f, 50));
  EXPECT_EQ(h.sim().stats().sent[QELMSG_PING_ACK], 0u);
}

TEST_F(FeedSimTest, DropAfterSecondsClosesTheConnection) {
  SimOptions o = quiet();
  o.dropAfterSeconds = 0.3;
  Harness h(o);
  RawClient c(h);
  auto start = Clock::now();
  ASSERT_TRUE(c.login());
  EXPECT_TRUE(c.closedByServer(3000));
  double waited = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_GT(waited, 0.25);
  EXPECT_LT(waited, 2.0);
}

TEST_F(FeedSimTest, StallStopsReadingAfterLogin) {
  SimOptions o = quiet();
  o.stall = true;
  Harness h(o);
  RawClient c(h);
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(c.send(frame(QELMSG_PING, "")));  // before the login: answered
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.type, QELMSG_PING_ACK);
  ASSERT_TRUE(c.send(frame(QELMSG_SNAPSHOT, "AUTH^demo^demo") + frame(QELMSG_PING, "")));
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.data, DEMO_MARKETS);
  ASSERT_TRUE(c.send(frame(QELMSG_PING, "")));
  EXPECT_TRUE(c.framesFor(200).empty());
  EXPECT_EQ(h.sim().stats().received[QELMSG_PING], 1u);
}

// --- publish, determinism, summary -----------------------------------------------

TEST_F(FeedSimTest, PublishSendsTheListAfterLoginThenRowChanges) {
  SimOptions o = withRate(50);
  o.publish = true;
  Harness h(o);
  RawClient c(h);
  ASSERT_TRUE(c.login("lse", "lse"));
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.type, QELMSG_PUBLISH);
  EXPECT_EQ(f.rid, "p#");
  std::vector<Command> cmds;
  ASSERT_TRUE(parseStream(f.data, cmds));
  ASSERT_EQ(cmds.size(), 5u);  // CLEAR and the four LSE instruments
  EXPECT_EQ(cmds[0].command, 5);
  const char* const rids[] = {"L1^LSE^VOD", "L1^LSE^BARC", "L1^LSE^HSBA", "L1^LSE^BP"};
  for (int i = 0; i < 4; ++i) {
    const Command& row = cmds[static_cast<std::size_t>(i) + 1];
    EXPECT_EQ(row.command, 1);
    ASSERT_FALSE(row.fields.empty());
    EXPECT_EQ(row.fields[0].first, 0u);
    EXPECT_EQ(row.fields[0].second, std::string(rids[i]) + '\0');
  }
  ASSERT_TRUE(c.readFrame(f));
  EXPECT_EQ(f.type, QELMSG_PUBLISH);
  ASSERT_TRUE(parseStream(f.data, cmds));
  ASSERT_EQ(cmds.size(), 1u);
  EXPECT_EQ(cmds[0].command, 4);
  EXPECT_EQ(cmds[0].row, 0u);
  EXPECT_NE(cmds[0].field(fid("CUR")), nullptr);
  ASSERT_TRUE(c.readFrame(f));
  ASSERT_TRUE(parseStream(f.data, cmds));
  EXPECT_EQ(cmds[0].row, 1u);
}

TEST_F(FeedSimTest, PublishListMarksDelayedRecords) {
  SimOptions o = quiet();
  o.publish = true;
  Harness h(o);
  RawClient c(h);
  ASSERT_TRUE(c.login());
  Frame f;
  ASSERT_TRUE(c.readFrame(f));
  std::vector<Command> cmds;
  ASSERT_TRUE(parseStream(f.data, cmds));
  ASSERT_EQ(cmds.size(), 11u);
  EXPECT_EQ(cmds[5].fields[0].second, std::string("L1^NQ^MSFT^d") + '\0');
}

// Every byte of a short seeded run: name, login, two images, a SYM image, four ticks.
std::string seededRun(std::uint32_t seed) {
  SimOptions o = withRate(100);
  o.seeded = true;
  o.seed = seed;
  Harness h(o);
  RawClient c(h);
  if (!c.login()) return "";
  // All requests in one write: every image goes out before the first update tick.
  if (!c.send(frame(QELMSG_OPEN, "L1^LSE^VOD") + frame(QELMSG_OPEN, "L1^NQ^MSFT^d") +
              frame(QELMSG_SNAPSHOT, "SYM^LSE^VOD")))
    return "";
  Frame f;
  for (int i = 0; i < 3 + 8; ++i)
    if (!c.readFrame(f)) return "";
  return c.consumed();
}

TEST_F(FeedSimTest, SeedGivesIdenticalBytesOnEveryRun) {
  std::string first = seededRun(42);
  std::string second = seededRun(42);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(hex(first), hex(second));
  std::string other = seededRun(43);
  ASSERT_FALSE(other.empty());
  EXPECT_NE(hex(first), hex(other));
}

TEST_F(FeedSimTest, SummaryCountsFramesAndViolations) {
  Harness h(quiet());
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_OPEN, "L1^LSE^VOD") + frame(QELMSG_OPEN, "L1^LSE^BP") +
                     frame(QELMSG_OPEN, "L1^LSE^NOPE") + frame(QELMSG_SNAPSHOT, "SYM^LSE^VOD") +
                     frame(QELMSG_CLOSE, "L1^LSE^VOD") + frame(QELMSG_PING, "") + frame(QELMSG_IMAGE, "x") +
                     frame(QELMSG_CLOSE, "L1^LSE^HSBA")));
  std::vector<Frame> frames = c.framesFor(80);
  EXPECT_EQ(frames.size(), 5u);
  std::string s = h.sim().summary();
  EXPECT_NE(s.find("clients: 1\n"), std::string::npos) << s;
  EXPECT_NE(s.find("frames received: OPEN=3 CLOSE=2 SNAPSHOT=2 PING=1 PING_ACK=0 NAME=1 IMAGE=1\n"),
            std::string::npos)
      << s;
  EXPECT_NE(s.find("frames sent: IMAGE=4 UPDATE=0 STATUS=1 PING=0 PING_ACK=1 PUBLISH=0 NAME=1\n"), std::string::npos)
      << s;
  EXPECT_NE(s.find("protocol violations: 2\n"), std::string::npos) << s;
  EXPECT_NE(s.find("  close of unopened record: 1\n"), std::string::npos) << s;
  EXPECT_NE(s.find("  server-only type: 1\n"), std::string::npos) << s;
  EXPECT_EQ(h.sim().exitCode(), 0);
}

TEST_F(FeedSimTest, FailOnViolationGivesExitCodeThree) {
  SimOptions o = quiet();
  o.failOnViolation = true;
  Harness h(o);
  EXPECT_EQ(h.sim().exitCode(), 0);
  RawClient c(h);
  ASSERT_TRUE(c.login());
  ASSERT_TRUE(c.send(frame(QELMSG_CLOSE, "L1^LSE^VOD")));
  h.pump(30);
  EXPECT_EQ(h.sim().exitCode(), 3);
}

TEST_F(FeedSimTest, ExitWhenIdleStopsAfterTheLastClientLeft) {
  SimOptions o = quiet();
  o.exitWhenIdle = true;
  Harness h(o);
  h.pump(20);
  EXPECT_FALSE(h.loop().quitPosted());  // nobody came yet
  RawClient a(h), b(h);
  ASSERT_TRUE(a.login());
  ASSERT_TRUE(b.login());
  a.close();
  h.pump(30);
  EXPECT_FALSE(h.loop().quitPosted());
  b.close();
  h.pump(30);
  EXPECT_TRUE(h.loop().quitPosted());
}

TEST_F(FeedSimTest, ExitAfterSecondsStops) {
  SimOptions o = quiet();
  o.exitAfterSeconds = 0.2;
  Harness h(o);
  auto start = Clock::now();
  while (!h.loop().quitPosted() && Clock::now() - start < std::chrono::seconds(3)) h.loop().runOnce(10);
  double waited = std::chrono::duration<double>(Clock::now() - start).count();
  EXPECT_TRUE(h.loop().quitPosted());
  EXPECT_GT(waited, 0.15);
  EXPECT_LT(waited, 1.5);
}

TEST_F(FeedSimTest, ListenFailsOnAPortInUse) {
  LoopbackServer taken;
  SimOptions o = quiet();
  o.port = taken.port();
  EventLoop loop;
  SimData data;
  ASSERT_TRUE(data.loadBuiltin());
  FeedSim sim(o, data, loop);
  EXPECT_FALSE(sim.start());
  EXPECT_TRUE(log.contains("cannot listen on 127.0.0.1:" + std::to_string(taken.port())));
}

// --- quotes ---------------------------------------------------------------------

TEST_F(FeedSimTest, QuoteWalkKeepsTheBookConsistent) {
  SimData data;
  ASSERT_TRUE(data.loadBuiltin());
  const SimFids& f = simFids();
  for (const SimInstrument& s : data.instruments()) {
    SCOPED_TRACE(s.code);
    SimQuote q(s, *data.findMarket(s.market), 99, true);
    for (int i = 0; i < 500; ++i) {
      SimRow changed = q.step();
      ASSERT_FALSE(changed.empty());
      long long bid = cents(q.value(f.bid)), offer = cents(q.value(f.offer)), cur = cents(q.value(f.cur));
      ASSERT_GT(bid, 0);
      ASSERT_LT(bid, offer);
      ASSERT_EQ(cents(q.value(f.change)), cur - s.close);
      ASSERT_LE(cents(q.value(f.low)), cur);
      ASSERT_GE(cents(q.value(f.high)), cur);
      for (const SimFieldValue& v : changed) ASSERT_EQ(v.text, q.value(v.fid));
    }
    EXPECT_EQ(q.value(f.lastChangeTime), "1700000500");
  }
}

TEST_F(FeedSimTest, PricesPrintWithTwoPlaces) {
  struct Case {
    long long hundredths;
    const char* text;
  };
  const Case cases[] = {{7250, "72.50"}, {5, "0.05"}, {-35, "-0.35"}, {0, "0.00"}, {-1200, "-12.00"}, {100001, "1000.01"}};
  for (const Case& k : cases) EXPECT_EQ(SimQuote::price(k.hundredths), k.text);
}

TEST_F(FeedSimTest, TradeTypesHaveNamesInTheirMarket) {
  // Market 1's trade-type codes: 1 2 3 4 7 11 12 14 15 16 18 19 20 23 26 27.
  const std::string data = "market NQ D NASDAQ 1\naccount a b\ninstrument NQ X USD US0 10.00 X\n";
  SimData d;
  ASSERT_TRUE(d.parse(data));
  SimQuote q(d.instruments()[0], d.markets()[0], 5, true);
  const int named[] = {1, 2, 3, 4, 7, 11, 12, 14, 15, 16, 18, 19, 20, 23, 26, 27};
  for (int i = 0; i < 200; ++i) {
    q.step();
    int code = std::atoi(q.value(simFids().lastTradeType).c_str());
    EXPECT_NE(std::find(std::begin(named), std::end(named), code), std::end(named)) << code;
    EXPECT_EQ(q.value(simFids().lastTradeFlags), "0");  // market 1 names no trade-flag bits
  }
}

// --- data file and options -------------------------------------------------------

TEST_F(FeedSimTest, DataFileDefinesAccountsMarketsAndInstruments) {
  const std::string text =
      "# test data\n"
      "market AA R Alpha 0\n"
      "market BB D Beta 19\n"
      "\n"
      "account joe secret BB AA\n"
      "account all pw\n"
      "instrument AA X1 EUR XS0001 12.5 First thing\n"
      "description AA X1 de_DE Erstes Ding\n";
  SimData d;
  ASSERT_TRUE(d.parse(text));
  const SimAccount* joe = d.findAccount("joe", "secret");
  ASSERT_NE(joe, nullptr);
  EXPECT_EQ(d.marketList(*joe), "BB:D:Beta:19\nAA:R:Alpha:0\n");
  EXPECT_EQ(d.marketList(*d.findAccount("all", "pw")), "AA:R:Alpha:0\nBB:D:Beta:19\n");
  EXPECT_EQ(d.findAccount("joe", "wrong"), nullptr);
  const SimInstrument* x = d.findInstrument("AA", "X1");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->close, 1250);
  EXPECT_EQ(x->name, "First thing");
  ASSERT_EQ(x->descriptions.size(), 1u);
  EXPECT_EQ(x->descriptions[0].locale, "de_DE");
  EXPECT_EQ(x->descriptions[0].text, "Erstes Ding");
  EXPECT_TRUE(d.findMarket("BB")->delayed());
  EXPECT_FALSE(d.findMarket("AA")->delayed());
}

TEST_F(FeedSimTest, DataFileIsReadFromDisk) {
  char path[] = "/tmp/feedsimdataXXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  {
    std::ofstream out(path);
    out << "market M R Em 2\naccount u p\ninstrument M C USD US1 1.00 Thing\n";
  }
  SimData d;
  EXPECT_TRUE(d.load(path));
  EXPECT_NE(d.findInstrument("M", "C"), nullptr);
  std::remove(path);
  EXPECT_FALSE(d.load(path));
  EXPECT_TRUE(log.contains("cannot read data file"));
}

TEST_F(FeedSimTest, BadDataLinesAreRefusedWithTheirLineNumber) {
  struct Case {
    const char* text;
    const char* why;
  };
  const Case cases[] = {
      {"market A R A\naccount u p\n", "data line 1: market wants"},
      {"market A R A x\naccount u p\n", "data line 1: market id"},
      {"market A^B R A 0\naccount u p\n", "may not hold"},
      {"market A R A 0\nmarket A R B 1\naccount u p\n", "data line 2: market A declared twice"},
      {"market A R A 0\naccount u p B\n", "names unknown market B"},
      {"market A R A 0\naccount u p^q\n", "passwords not"},
      {"market A R A 0\naccount u p\ninstrument A X USD I 1.005 N\n", "data line 3: price"},
      {"market A R A 0\naccount u p\ninstrument A X USD I -1 N\n", "price"},
      {"market A R A 0\naccount u p\ninstrument A X USD I\n", "instrument wants"},
      {"market A R A 0\naccount u p\ninstrument A X USD I 1 \n", "has no name"},
      {"market A R A 0\naccount u p\ninstrument B X USD I 1 N\n", "names unknown market B"},
      {"market A R A 0\naccount u p\ndescription A X en_GB text\n", "undeclared instrument"},
      {"market A R A 0\naccount u p\nbogus\n", "unknown entry \"bogus\""},
      {"market A R A 0\n", "data has no account"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.text);
    log.clear();
    SimData d;
    EXPECT_FALSE(d.parse(k.text));
    EXPECT_TRUE(log.contains(k.why)) << log.text();
    EXPECT_TRUE(d.accounts().empty());
    EXPECT_TRUE(d.markets().empty());
  }
}

TEST_F(FeedSimTest, BuiltinDataHasTheDemoAccountAndMarkets) {
  SimData d;
  ASSERT_TRUE(d.loadBuiltin());
  const SimAccount* demo = d.findAccount("demo", "demo");
  ASSERT_NE(demo, nullptr);
  EXPECT_EQ(d.marketList(*demo), DEMO_MARKETS);
  for (const char* code : {"VOD", "BARC", "HSBA"}) EXPECT_NE(d.findInstrument("LSE", code), nullptr) << code;
  for (const char* code : {"MSFT", "AAPL"}) EXPECT_NE(d.findInstrument("NQ", code), nullptr) << code;
  // Every market id has trade-code names.
  for (const SimMarket& m : d.markets())
    EXPECT_TRUE(m.id == 0 || m.id == 1 || m.id == 2 || m.id == 3 || m.id == 11 || m.id == 12 || m.id == 13 ||
                m.id == 19)
        << m.symbol;
}

TEST_F(FeedSimTest, OptionsParseEveryFlag) {
  const char* argv[] = {"feedsim",          "--host",         "localhost",        "--port=0",
                        "--data",           "f.txt",          "--name",           "sim",
                        "--rate",           "2.5",            "--ping-interval",  "3",
                        "--publish",        "--drop-after-frames", "4",           "--drop-after-seconds",
                        "1.5",              "--malformed",    "ridlength",        "--truncated-update",
                        "--split-bytes",    "--stall",        "-v",               "-v",
                        "--exit-after-seconds", "9",          "--exit-when-idle", "--fail-on-violation",
                        "--seed",           "12",             "--stamp",          "--spread",
                        "--instruments",    "1000"};
  SimOptions o;
  std::string error;
  ASSERT_TRUE(parseSimOptions(static_cast<int>(sizeof argv / sizeof argv[0]), argv, o, error)) << error;
  EXPECT_EQ(o.host, "localhost");
  EXPECT_EQ(o.port, 0);
  EXPECT_EQ(o.dataFile, "f.txt");
  EXPECT_EQ(o.name, "sim");
  EXPECT_DOUBLE_EQ(o.rate, 2.5);
  EXPECT_EQ(o.pingInterval, 3);
  EXPECT_TRUE(o.publish);
  EXPECT_EQ(o.dropAfterFrames, 4);
  EXPECT_DOUBLE_EQ(o.dropAfterSeconds, 1.5);
  EXPECT_EQ(o.malformed, SimMalformed::RIDLENGTH);
  EXPECT_TRUE(o.truncatedUpdate);
  EXPECT_TRUE(o.splitBytes);
  EXPECT_TRUE(o.stall);
  EXPECT_EQ(o.verbosity, 2);
  EXPECT_DOUBLE_EQ(o.exitAfterSeconds, 9);
  EXPECT_TRUE(o.exitWhenIdle);
  EXPECT_TRUE(o.failOnViolation);
  EXPECT_TRUE(o.seeded);
  EXPECT_EQ(o.seed, 12u);
  EXPECT_TRUE(o.stamp);
  EXPECT_TRUE(o.spread);
  EXPECT_EQ(o.instruments, 1000);
}

TEST_F(FeedSimTest, OptionsDefaults) {
  const char* argv[] = {"feedsim"};
  SimOptions o;
  std::string error;
  ASSERT_TRUE(parseSimOptions(1, argv, o, error));
  EXPECT_EQ(o.host, "127.0.0.1");
  EXPECT_EQ(o.port, 7000);
  EXPECT_EQ(o.pingInterval, 10);
  EXPECT_DOUBLE_EQ(o.rate, 1.0);
  EXPECT_FALSE(o.seeded);
  EXPECT_EQ(o.malformed, SimMalformed::NONE);
  EXPECT_FALSE(o.stamp);
  EXPECT_FALSE(o.spread);
  EXPECT_EQ(o.instruments, 0);
}

TEST_F(FeedSimTest, OptionsRefuseBadValues) {
  const std::vector<std::vector<const char*>> cases = {
      {"--port", "70000"}, {"--port", "x"},  {"--port"},           {"--rate", "-1"},
      {"--rate", "1001"},  {"--rate", "nan"}, {"--malformed", "size"}, {"--drop-after-frames", "0"},
      {"--drop-after-seconds", "0"}, {"--seed", "-1"}, {"--seed", "4294967296"}, {"--bogus"},
      {"--publish=yes"},   {"--ping-interval", "1.5"}, {"--exit-after-seconds", "0"}, {"--name", ""},
      {"--stamp=yes"},     {"--instruments", "0"}, {"--instruments", "100001"}, {"--instruments", "many"},
  };
  for (const auto& args : cases) {
    std::vector<const char*> argv = {"feedsim"};
    argv.insert(argv.end(), args.begin(), args.end());
    SimOptions o;
    std::string error;
    EXPECT_FALSE(parseSimOptions(static_cast<int>(argv.size()), argv.data(), o, error)) << args[0];
    EXPECT_FALSE(error.empty()) << args[0];
  }
}

TEST_F(FeedSimTest, HelpDocumentsEveryFlag) {
  std::string usage = simUsage();
  for (const char* flag : {"--host", "--port", "--name", "--data", "--print-data", "--rate", "--ping-interval",
                           "--publish", "--seed", "--drop-after-frames", "--drop-after-seconds", "--malformed",
                           "--truncated-update", "--split-bytes", "--stall", "--verbose", "--exit-after-seconds",
                           "--exit-when-idle", "--fail-on-violation", "--stamp", "--spread", "--instruments",
                           "--help"}) {
    EXPECT_NE(usage.find(flag), std::string::npos) << flag;
    // Every flag the usage names is accepted.
    std::vector<const char*> argv = {"feedsim", flag};
    std::string name = flag;
    if (name == "--host" || name == "--name" || name == "--data") argv.push_back("x");
    if (name == "--port" || name == "--rate" || name == "--ping-interval" || name == "--seed" || name == "--instruments")
      argv.push_back("1");
    if (name == "--drop-after-frames" || name == "--drop-after-seconds" || name == "--exit-after-seconds")
      argv.push_back("1");
    if (name == "--malformed") argv.push_back("trailer");
    SimOptions o;
    std::string error;
    EXPECT_TRUE(parseSimOptions(static_cast<int>(argv.size()), argv.data(), o, error)) << flag << ": " << error;
  }
}

// --- the program ------------------------------------------------------------------

#ifdef FEEDSIM_EXECUTABLE

// feedsim as a child process with its stdout on a pipe.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(FEEDSIM_EXECUTABLE));
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      // Only the summary and log on stdout matter here; usage errors stay out of the test output.
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(out[1], 1);
      if (null >= 0) ::dup2(null, 2);
      ::close(out[0]);
      ::close(out[1]);
      ::execv(FEEDSIM_EXECUTABLE, argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    m_out = out[0];
  }
  ~Program() {
    if (m_pid > 0 && !m_reaped) {
      ::kill(m_pid, SIGKILL);
      ::waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) ::close(m_out);
  }
  // The next line of output, waiting at most `timeoutMs`.
  bool readLine(std::string& line, int timeoutMs = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      std::string::size_type nl = m_text.find('\n', m_pos);
      if (nl != std::string::npos) {
        line = m_text.substr(m_pos, nl - m_pos);
        m_pos = nl + 1;
        return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || !readMore(static_cast<int>(left))) return false;
    }
  }
  // Everything up to the end of output, then the exit code (-1 on a timeout or a signal).
  int finish(std::string& rest, int timeoutMs = 5000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || !readMore(static_cast<int>(left))) break;
    }
    rest = m_text.substr(m_pos);
    int status = 0;
    for (;;) {
      pid_t r = ::waitpid(m_pid, &status, WNOHANG);
      if (r == m_pid) break;
      if (Clock::now() >= end) return -1;
      ::usleep(10000);
    }
    m_reaped = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void signal(int sig) { ::kill(m_pid, sig); }
  bool started() const { return m_pid > 0 && m_out >= 0; }

 private:
  bool readMore(int timeoutMs) {
    if (!waitReadable(m_out, timeoutMs)) return false;
    char buf[4096];
    ssize_t n = ::read(m_out, buf, sizeof buf);
    if (n <= 0) return false;
    m_text.append(buf, static_cast<std::size_t>(n));
    return true;
  }
  pid_t m_pid = -1;
  int m_out = -1;
  bool m_reaped = false;
  std::string m_text;
  std::size_t m_pos = 0;
};

int portOf(const std::string& line) {
  std::string::size_type colon = line.rfind(':');
  return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
}

// A blocking raw client of a feedsim in another process.
class RemoteClient {
 public:
  explicit RemoteClient(int port) {
    std::uint32_t address = 0;
    std::string error;
    socketResolve("127.0.0.1", address, error);
    m_fd = socketOpenStream();
    if (!socketConnect(m_fd, address, port, 2000)) {
      socketClose(m_fd);
      m_fd = -1;
    }
  }
  ~RemoteClient() { socketClose(m_fd); }
  bool ok() const { return m_fd >= 0; }
  void send(const std::string& b) { socketSend(m_fd, b.data(), static_cast<int>(b.size())); }
  std::string receive(std::size_t n, int timeoutMs = 3000) {
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_in.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0 || !waitReadable(m_fd, static_cast<int>(left))) break;
      char buf[4096];
      int got = socketRecv(m_fd, buf, sizeof buf);
      if (got <= 0) break;
      m_in.append(buf, static_cast<std::size_t>(got));
    }
    std::string out = m_in.substr(0, n);
    m_in.erase(0, out.size());
    return out;
  }
  void close() {
    socketClose(m_fd);
    m_fd = -1;
  }

 private:
  int m_fd = -1;
  std::string m_in;
};

TEST_F(FeedSimTest, ProgramPrintsItsPortFirstAndTheSummaryOnSigterm) {
  Program p({"--port", "0", "-v", "--ping-interval", "0"});
  ASSERT_TRUE(p.started());
  std::string line;
  ASSERT_TRUE(p.readLine(line));
  ASSERT_EQ(line.compare(0, 23, "listening on 127.0.0.1:"), 0) << line;
  int port = portOf(line);
  ASSERT_GT(port, 0);
  {
    RemoteClient c(port);
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.receive(16), frame(QELMSG_NAME, "feedsim"));
    std::string login = frame(QELMSG_SNAPSHOT, "AUTH^demo^demo");
    c.send(frame(QELMSG_NAME, "default") + login + frame(QELMSG_PING, ""));
    EXPECT_EQ(c.receive(9 + 14 + DEMO_MARKETS.size()), frame(QELMSG_IMAGE, "AUTH^demo^demo", DEMO_MARKETS));
    EXPECT_EQ(c.receive(9), frame(QELMSG_PING_ACK, ""));
  }
  p.signal(SIGTERM);
  std::string rest;
  EXPECT_EQ(p.finish(rest), 0);
  EXPECT_NE(rest.find("#1 in  SNAPSHOT AUTH^demo^***"), std::string::npos) << rest;
  EXPECT_NE(rest.find("frames received: OPEN=0 CLOSE=0 SNAPSHOT=1 PING=1 PING_ACK=0 NAME=1\n"), std::string::npos)
      << rest;
  EXPECT_NE(rest.find("protocol violations: 0\n"), std::string::npos) << rest;
}

TEST_F(FeedSimTest, ProgramFailsOnViolationWhenAskedAndStopsWhenIdle) {
  Program p({"--port", "0", "--exit-when-idle", "--fail-on-violation", "--ping-interval", "0"});
  std::string line;
  ASSERT_TRUE(p.readLine(line));
  {
    RemoteClient c(portOf(line));
    ASSERT_TRUE(c.ok());
    c.receive(16);
    c.send(frame(QELMSG_OPEN, "L1^LSE^VOD"));  // before any login
    c.send(frame(QELMSG_PING, ""));
    EXPECT_EQ(c.receive(9), frame(QELMSG_PING_ACK, ""));
  }
  std::string rest;
  EXPECT_EQ(p.finish(rest), 3);
  EXPECT_NE(rest.find("protocol violations: 1\n"), std::string::npos) << rest;
  EXPECT_NE(rest.find("request before login: 1"), std::string::npos) << rest;
}

TEST_F(FeedSimTest, ProgramStopsByItselfAfterItsTime) {
  Program p({"--port", "0", "--exit-after-seconds", "0.3"});
  std::string line;
  ASSERT_TRUE(p.readLine(line));
  std::string rest;
  EXPECT_EQ(p.finish(rest, 3000), 0);
  EXPECT_NE(rest.find("clients: 0\n"), std::string::npos) << rest;
}

TEST_F(FeedSimTest, ProgramHelpAndBadCommandLine) {
  Program help({"--help"});
  std::string rest;
  EXPECT_EQ(help.finish(rest), 0);
  EXPECT_NE(rest.find("--drop-after-frames N"), std::string::npos);
  Program bad({"--port", "nope"});
  EXPECT_EQ(bad.finish(rest), 2);
  Program data({"--print-data"});
  EXPECT_EQ(data.finish(rest), 0);
  EXPECT_EQ(rest, SimData::builtinText());
}

#else

TEST_F(FeedSimTest, ProgramTests) { GTEST_SKIP() << "the feedsim program's path is not known to this build"; }

#endif

}  // namespace

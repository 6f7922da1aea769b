#pragma once
// The POSIX DDE library as a DDE server sees it, with clients in the same
// thread over the real Unix socket: the test runs the event loop while a
// client waits, and every wait is bounded. The library's limits run on the
// loop's manual clock: a test that needs time to pass moves it (passTime). One fixture for the DDE library's
// test files; each names it after its own part.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/Socket.h"
#include "platform/ddeml.h"
#include "platform/posix/localdde/DdeBridge.h"
#include "platform/posix/localdde/DdeBridgeLimits.h"
#include "tests/TestSupport.h"
#include "tests/fakes/ManualClock.h"
#include "tools/ddeclient/DdeClient.h"


inline std::int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

const std::string kFloat125("\x10\x00\x04\x00\x01\x00\x01\x00\x01\x00\x08\x00\x00\x00\x00\x00\x00\x00\x29\x40", 20);
const std::string kStringAbc("\x10\x00\x04\x00\x01\x00\x01\x00\x02\x00\x05\x00\x03\x61\x62\x63\x00", 17);

struct Call {
  UINT type = 0;
  UINT fmt = 0;
  std::uintptr_t conv = 0;
  std::string text1, text2;
  HSZ hsz1 = nullptr, hsz2 = nullptr;
  std::string data;
  ULONG_PTR remaining = 0;  // advise requests: how many more for the same item and format follow (dwData1)
};

class DdeLibraryTest;
inline DdeLibraryTest* current = nullptr;
inline HDDEDATA CALLBACK testCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR);

// A client speaking raw bridge bytes, for what DdeClient would never send.
class RawClient {
 public:
  RawClient(const std::string& path, EventLoop& loop) : m_loop(loop) {
    m_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strncpy(sa.sun_path, path.c_str(), sizeof sa.sun_path - 1);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      ::close(m_fd);
      m_fd = -1;
    }
    if (m_fd >= 0) socketSetNonBlocking(m_fd, true);
  }
  ~RawClient() {
    if (m_fd >= 0) ::close(m_fd);
  }
  bool ok() const { return m_fd >= 0; }
  int fd() const { return m_fd; }
  bool send(const std::string& bytes) {
    std::size_t done = 0;
    std::int64_t deadline = nowMs() + 5000;
    while (done < bytes.size() && nowMs() < deadline) {
      ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) done += static_cast<std::size_t>(n);
      else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      else m_loop.runOnce(1);
    }
    return done == bytes.size();
  }
  bool send(const DdeBridgeMessage& m) {
    std::string bytes;
    return ddeBridgeEncode(m, bytes) && send(bytes);
  }
  // The next message, running the server meanwhile.
  bool next(DdeBridgeMessage& m, int ms = 5000) {
    std::int64_t deadline = nowMs() + ms;
    while (nowMs() < deadline) {
      bool open = readSome();  // what came before a close still counts
      if (m_reader.next(m) > 0) return true;
      if (!open) return false;
      m_loop.runOnce(2);
    }
    return false;
  }
  // True once the server has closed the connection.
  bool closedWithin(int ms) {
    std::int64_t deadline = nowMs() + ms;
    while (nowMs() < deadline) {
      if (!readSome()) return true;
      m_loop.runOnce(2);
    }
    return false;
  }

 private:
  bool readSome() {
    char buf[65536];
    for (;;) {
      ssize_t n = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        m_reader.append(buf, static_cast<std::size_t>(n));
        continue;
      }
      return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
  }
  EventLoop& m_loop;
  int m_fd = -1;
  DdeBridgeReader m_reader;
};

inline DdeBridgeMessage connectMessage(std::uint32_t xid, const std::string& service, const std::string& topic) {
  DdeBridgeMessage m;
  m.kind = DDE_BRIDGE_CONNECT;
  m.xid = xid;
  m.service = service;
  m.topic = topic;
  return m;
}

inline DdeBridgeMessage requestMessage(std::uint32_t xid, std::uint32_t conv, const std::string& item) {
  DdeBridgeMessage m;
  m.kind = DDE_BRIDGE_REQUEST;
  m.xid = xid;
  m.conv = conv;
  m.item = item;
  m.format = DdeBridgeFormat::standard(CF_TEXT);
  return m;
}

const DdeBridgeFormat kText = DdeBridgeFormat::standard(CF_TEXT);
const DdeBridgeFormat kXlTable = DdeBridgeFormat::registered("XlTable");
const char* const kPriceItems[3] = {"BID", "ASK", "CUR"};

class DdeLibraryTest : public ::testing::Test {
 public:
  // The default server: accepts every topic but "BAD", lists three pairs
  // for a wildcard on "System", answers requests with `requestValue` (none
  // for the item "NONE"), refuses advise loops on "NOPE", and answers each
  // advise request with the next number of `advSeq`.
  HDDEDATA answer(UINT type, UINT fmt, HSZ hsz1, HSZ hsz2, const Call& c) {
    if (onCall) {
      HDDEDATA h;
      if (onCall(c, h)) return h;
    }
    switch (type) {
      case XTYP_CONNECT:
        return c.text1 == "BAD" ? nullptr : reinterpret_cast<HDDEDATA>(TRUE);
      case XTYP_WILDCONNECT: {
        if (c.text1 != "System") return nullptr;
        HSZPAIR pairs[4] = {{service, topics}, {service, sysItems}, {service, formats}, {nullptr, nullptr}};
        return DdeCreateDataHandle(inst, reinterpret_cast<BYTE*>(pairs), sizeof pairs, 0, nullptr, 0, 0);
      }
      case XTYP_REQUEST: {
        if (c.text2 == "NONE") return nullptr;
        const std::string& v = requestValue;
        return DdeCreateDataHandle(inst, reinterpret_cast<const BYTE*>(v.data()), static_cast<DWORD>(v.size()), 0,
                                   hsz2, requestFormat ? requestFormat : fmt, 0);
      }
      case XTYP_ADVSTART:
        return c.text2 == "NOPE" ? nullptr : reinterpret_cast<HDDEDATA>(TRUE);
      case XTYP_ADVREQ: {
        std::string v = std::to_string(++advSeq) + std::string(advPadding, 'x');
        lastSeq[{c.conv, c.text2, fmt}] = advSeq;
        return DdeCreateDataHandle(inst, reinterpret_cast<const BYTE*>(v.data()), static_cast<DWORD>(v.size() + 1),
                                   0, hsz2, CF_TEXT, 0);
      }
      case XTYP_POKE:
      case XTYP_EXECUTE:
        return reinterpret_cast<HDDEDATA>(DDE_FACK);
      default:
        (void)hsz1;
        return nullptr;
    }
  }

  HDDEDATA record(UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data, ULONG_PTR d1) {
    Call c;
    c.remaining = type == XTYP_ADVREQ ? d1 : 0;
    c.type = type;
    c.fmt = fmt;
    c.conv = reinterpret_cast<std::uintptr_t>(conv);
    c.hsz1 = hsz1;
    c.hsz2 = hsz2;
    char buf[256];
    DdeQueryStringA(inst, hsz1, buf, sizeof buf, CP_WINANSI);
    c.text1 = buf;
    DdeQueryStringA(inst, hsz2, buf, sizeof buf, CP_WINANSI);
    c.text2 = buf;
    if (data) {
      DWORD n = DdeGetData(data, nullptr, 0, 0);
      c.data.resize(n);
      if (n) DdeGetData(data, reinterpret_cast<BYTE*>(&c.data[0]), n, 0);
    }
    if (type != XTYP_ADVREQ || recordAdvreq) calls.push_back(c);
    return answer(type, fmt, hsz1, hsz2, c);
  }

 protected:
  void SetUp() override {
    current = this;
    ASSERT_EQ(DdeInitializeW(&inst, &testCallback, CBF_FAIL_EXECUTES, 0), DMLERR_NO_ERROR);
    ASSERT_NE(inst, 0u);
    service = DdeCreateStringHandleA(inst, "TAVRO", CP_WINANSI);
    topics = DdeCreateStringHandleA(inst, "Topics", CP_WINANSI);
    sysItems = DdeCreateStringHandleA(inst, "SysItems", CP_WINANSI);
    formats = DdeCreateStringHandleA(inst, "Formats", CP_WINANSI);
    xltable = RegisterClipboardFormatA("XlTable");
    socketPath = dir.ddeDir + "/TAVRO";
  }
  void TearDown() override {
    clients.clear();
    if (inst) DdeUninitialize(inst);
    ddeBridgeSetStallLimitMs(0);
    ddeBridgeSetPartialLimitMs(0);
    current = nullptr;
  }

  bool start() { return DdeNameService(inst, service, nullptr, DNS_REGISTER) != nullptr; }

  DdeClient& newClient() {
    clients.emplace_back(new DdeClient);
    DdeClient& c = *clients.back();
    c.setIdle([this] { loop.runOnce(2); });
    c.setTimeoutMs(3000);
    EXPECT_TRUE(c.open("TAVRO")) << c.lastError();
    return c;
  }

  std::uint32_t connect(DdeClient& c, const std::string& topic) {
    std::uint32_t conv = 0;
    EXPECT_EQ(c.connect("TAVRO", topic, conv), DdeReply::Ok) << c.lastError();
    return conv;
  }

  // lse_vod with CF_TEXT loops on kPriceItems; advise requests are no longer recorded.
  std::uint32_t watchPrices(DdeClient& c) {
    std::uint32_t conv = connect(c, "lse_vod");
    for (const char* item : kPriceItems) EXPECT_EQ(c.adviseStart(conv, item, kText), DdeReply::Ok) << item;
    recordAdvreq = false;
    return conv;
  }

  bool runUntil(const std::function<bool()>& done, int ms = 5000) {
    std::int64_t deadline = nowMs() + ms;
    while (!done()) {
      if (nowMs() >= deadline) return false;
      loop.runOnce(5);
    }
    return true;
  }
  // Moves the loop's clock on by `ms`, letting its timers fire on the way.
  void passTime(int ms, int step = 10) {
    for (int t = 0; t < ms; t += step) {
      clock.now += step;
      loop.runOnce(0);
    }
  }
  // Until everything queued for the clients is written.
  bool runUntilSent() { return runUntil([this] { return ddeBridgePendingBytes(inst) == 0; }); }

  std::vector<Call> callsOf(UINT type) const {
    std::vector<Call> out;
    for (const Call& c : calls)
      if (c.type == type) out.push_back(c);
    return out;
  }
  bool disconnected(std::uint32_t conv) const {
    for (const Call& c : calls)
      if (c.type == XTYP_DISCONNECT && c.conv == conv) return true;
    return false;
  }

  // Reads every advise value that comes: the sequence numbers must rise, and
  // each of kPriceItems must end on the latest value posted for it.
  std::vector<long> expectFreshInOrder(DdeClient& c, std::uint32_t conv) {
    std::vector<long> seqs;
    std::map<std::string, long> latest;
    DdeAdvise adv;
    while (c.nextAdvise(adv, 300)) {
      long seq = std::atol(adv.data.c_str());
      seqs.push_back(seq);
      latest[adv.item] = seq;
    }
    for (std::size_t i = 1; i < seqs.size(); ++i) EXPECT_LT(seqs[i - 1], seqs[i]) << "at " << i;
    for (const char* item : kPriceItems) EXPECT_EQ(latest[item], (lastSeq[{conv, item, CF_TEXT}])) << item;
    return seqs;
  }

  TempDir dir;
  ManualClock clock;
  EventLoop loop{&clock};
  DWORD inst = 0;
  HSZ service = nullptr, topics = nullptr, sysItems = nullptr, formats = nullptr;
  UINT xltable = 0;
  std::string socketPath;
  std::vector<Call> calls;
  std::function<bool(const Call&, HDDEDATA&)> onCall;
  std::string requestValue = std::string("12.5\0", 5);
  UINT requestFormat = 0;
  bool recordAdvreq = true;
  long advSeq = 0;
  std::size_t advPadding = 0;
  std::map<std::tuple<std::uintptr_t, std::string, UINT>, long> lastSeq;
  std::vector<std::unique_ptr<DdeClient>> clients;
};

inline HDDEDATA CALLBACK testCallback(UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data,
                                      ULONG_PTR d1, ULONG_PTR) {
  return current ? current->record(type, fmt, conv, hsz1, hsz2, data, d1) : nullptr;
}

// The POSIX DDE library as a DDE server sees it, with clients in the same
// thread over the real Unix socket: the test runs the event loop while a
// client waits, and every wait is bounded.
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
#include "platform/posix/DdeBridge.h"
#include "platform/posix/DdeBridgeLimits.h"
#include "tests/TestSupport.h"
#include "tools/ddeclient/DdeClient.h"

namespace {

std::int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

const std::string kFloat125("\x10\x00\x04\x00\x01\x00\x01\x00\x01\x00\x08\x00\x00\x00\x00\x00\x00\x00\x29\x40", 20);
const std::string kStringAbc("\x10\x00\x04\x00\x01\x00\x01\x00\x02\x00\x05\x00\x03\x61\x62\x63\x00", 17);

// A private directory per test, named by TAVRO_DDE_DIR; the socket
// directory is a fresh one inside it.
class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/ddemltest-XXXXXX";
    char* made = ::mkdtemp(pattern);
    root = made ? made : "";
    dir = root + "/dde";
    ::setenv("TAVRO_DDE_DIR", dir.c_str(), 1);
  }
  ~TempDir() {
    ::unsetenv("TAVRO_DDE_DIR");
    if (!root.empty()) std::system(("rm -rf '" + root + "'").c_str());
  }
  std::string root, dir;
};

struct Call {
  UINT type = 0;
  UINT fmt = 0;
  std::uintptr_t conv = 0;
  std::string text1, text2;
  HSZ hsz1 = nullptr, hsz2 = nullptr;
  std::string data;
};

class DdemlPosixTest;
DdemlPosixTest* current = nullptr;
HDDEDATA CALLBACK testCallback(UINT, UINT, HCONV, HSZ, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR);

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
      if (m_reader.next(m) > 0) return true;
      if (!readSome()) return false;
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

DdeBridgeMessage connectMessage(std::uint32_t xid, const std::string& service, const std::string& topic) {
  DdeBridgeMessage m;
  m.kind = DDE_BRIDGE_CONNECT;
  m.xid = xid;
  m.service = service;
  m.topic = topic;
  return m;
}

DdeBridgeMessage requestMessage(std::uint32_t xid, std::uint32_t conv, const std::string& item) {
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

class DdemlPosixTest : public ::testing::Test {
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

  HDDEDATA record(UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data) {
    Call c;
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
    socketPath = dir.dir + "/TAVRO";
  }
  void TearDown() override {
    clients.clear();
    if (inst) DdeUninitialize(inst);
    ddeBridgeSetStallLimitMs(0);
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
  void runFor(int ms) {
    std::int64_t deadline = nowMs() + ms;
    while (nowMs() < deadline) loop.runOnce(5);
  }

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
  EventLoop loop;
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

HDDEDATA CALLBACK testCallback(UINT type, UINT fmt, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA data, ULONG_PTR,
                               ULONG_PTR) {
  return current ? current->record(type, fmt, conv, hsz1, hsz2, data) : nullptr;
}

// ---- Service, directory and socket

TEST_F(DdemlPosixTest, RegisteringCreatesAPrivateDirectoryAndTheSocket) {
  ASSERT_TRUE(start());
  struct stat st {};
  ASSERT_EQ(::stat(dir.dir.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::lstat(socketPath.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
}

TEST_F(DdemlPosixTest, RegisteringRefusesADirectoryOpenToOthers) {
  ASSERT_EQ(::mkdir(dir.dir.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(dir.dir.c_str(), 0755), 0);
  LogCapture log;
  EXPECT_FALSE(start());
  EXPECT_TRUE(log.contains("open to others")) << log.text();
  struct stat st {};
  EXPECT_NE(::lstat(socketPath.c_str(), &st), 0);
}

TEST_F(DdemlPosixTest, RegisteringReplacesTheSocketOfADeadServer) {
  ASSERT_EQ(::mkdir(dir.dir.c_str(), 0700), 0);
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  std::strncpy(sa.sun_path, socketPath.c_str(), sizeof sa.sun_path - 1);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ::close(fd);  // the file stays, nobody listens
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  EXPECT_NE(connect(c, "lse_vod"), 0u);
}

TEST_F(DdemlPosixTest, SecondInstanceCannotTakeALiveServiceButServesItsOwn) {
  ASSERT_TRUE(start());
  DWORD second = 0;
  ASSERT_EQ(DdeInitializeW(&second, &testCallback, 0, 0), DMLERR_NO_ERROR);
  ASSERT_NE(second, inst);
  HSZ same = DdeCreateStringHandleA(second, "tavro", CP_WINANSI);
  HSZ other = DdeCreateStringHandleA(second, "OTHER", CP_WINANSI);
  {
    LogCapture log;
    EXPECT_EQ(DdeNameService(second, same, nullptr, DNS_REGISTER), nullptr);
    EXPECT_TRUE(log.contains("served by another process")) << log.text();
  }
  ASSERT_NE(DdeNameService(second, other, nullptr, DNS_REGISTER), nullptr);
  DdeClient c;
  c.setIdle([this] { loop.runOnce(2); });
  ASSERT_TRUE(c.open("other"));
  std::uint32_t conv = 0;
  EXPECT_EQ(c.connect("OTHER", "x", conv), DdeReply::Ok);
  // The second instance was made without CBF_FAIL_EXECUTES.
  EXPECT_EQ(c.execute(conv, "[run]"), DdeReply::Ok);
  ASSERT_EQ(callsOf(XTYP_EXECUTE).size(), 1u);
  EXPECT_EQ(callsOf(XTYP_EXECUTE)[0].data, "[run]");
  EXPECT_TRUE(DdeUninitialize(second));
  struct stat st {};
  EXPECT_NE(::lstat((dir.dir + "/OTHER").c_str(), &st), 0);
  EXPECT_EQ(::lstat(socketPath.c_str(), &st), 0);  // the first instance's stays
}

TEST_F(DdemlPosixTest, NoServiceWithoutRegistration) {
  DdeClient c;
  EXPECT_FALSE(c.open("TAVRO"));
}

// ---- Conversations

TEST_F(DdemlPosixTest, ConnectConfirmAndDisconnectReachTheCallbackInOrder) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  ASSERT_NE(conv, 0u);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].type, XTYP_CONNECT);
  EXPECT_EQ(calls[0].conv, 0u);
  EXPECT_EQ(calls[0].text1, "lse_vod");
  EXPECT_EQ(calls[0].text2, "TAVRO");
  EXPECT_EQ(calls[1].type, XTYP_CONNECT_CONFIRM);
  EXPECT_EQ(calls[1].conv, conv);
  EXPECT_EQ(calls[1].text1, "lse_vod");
  EXPECT_EQ(calls[1].text2, "TAVRO");

  std::uint32_t second = connect(c, "LSE_BP");
  EXPECT_NE(second, conv);
  ASSERT_TRUE(c.terminate(conv));
  ASSERT_TRUE(runUntil([&] { return disconnected(conv); }));
  EXPECT_FALSE(disconnected(second));

  c.close();
  ASSERT_TRUE(runUntil([&] { return disconnected(second); }));
  EXPECT_EQ(callsOf(XTYP_DISCONNECT).size(), 2u);
}

TEST_F(DdemlPosixTest, RefusedConnectMakesNoConversation) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = 0;
  EXPECT_EQ(c.connect("TAVRO", "BAD", conv), DdeReply::Refused);
  EXPECT_EQ(callsOf(XTYP_CONNECT).size(), 1u);
  EXPECT_TRUE(callsOf(XTYP_CONNECT_CONFIRM).empty());
  EXPECT_EQ(c.connect("OTHERSERVICE", "lse_vod", conv), DdeReply::Refused);
  EXPECT_EQ(callsOf(XTYP_CONNECT).size(), 1u);
}

TEST_F(DdemlPosixTest, WildcardConnectOnSystemMakesOneConfirmedConversationPerPair) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::vector<DdeBridgePair> pairs;
  ASSERT_EQ(c.wildConnect("", "System", pairs), DdeReply::Ok);
  ASSERT_EQ(pairs.size(), 3u);
  std::vector<Call> wild = callsOf(XTYP_WILDCONNECT);
  ASSERT_EQ(wild.size(), 1u);
  EXPECT_EQ(wild[0].text1, "System");
  EXPECT_EQ(wild[0].hsz2, nullptr);
  std::vector<Call> confirms = callsOf(XTYP_CONNECT_CONFIRM);
  ASSERT_EQ(confirms.size(), 3u);
  const char* expected[] = {"Topics", "SysItems", "Formats"};
  std::set<std::uint32_t> convs;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(pairs[i].service, "TAVRO");
    EXPECT_EQ(pairs[i].topic, expected[i]);
    EXPECT_EQ(confirms[i].text1, expected[i]);
    EXPECT_EQ(confirms[i].conv, pairs[i].conv);
    convs.insert(pairs[i].conv);
  }
  EXPECT_EQ(convs.size(), 3u);
  // Each is an ordinary conversation.
  DdeBridgeFormat f;
  std::string data;
  EXPECT_EQ(c.request(pairs[1].conv, "BID", kText, f, data), DdeReply::Ok);
}

TEST_F(DdemlPosixTest, WildcardConnectOnAnotherTopicIsRefused) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::vector<DdeBridgePair> pairs;
  EXPECT_EQ(c.wildConnect("TAVRO", "", pairs), DdeReply::Refused);
  EXPECT_EQ(c.wildConnect("", "lse_vod", pairs), DdeReply::Refused);
  EXPECT_TRUE(pairs.empty());
  EXPECT_EQ(callsOf(XTYP_WILDCONNECT).size(), 2u);
  EXPECT_TRUE(callsOf(XTYP_CONNECT_CONFIRM).empty());
}

TEST_F(DdemlPosixTest, ManyClientsConnectAndLeave) {
  ASSERT_TRUE(start());
  std::set<std::uint32_t> convs;
  for (int i = 0; i < 200; ++i) {
    DdeClient& c = newClient();
    convs.insert(connect(c, "lse_vod"));
    convs.insert(connect(c, "LSE_" + std::to_string(i)));
  }
  EXPECT_EQ(convs.size(), 400u);
  EXPECT_EQ(ddeBridgeClientCount(inst), 200u);
  clients.clear();
  ASSERT_TRUE(runUntil([&] { return callsOf(XTYP_DISCONNECT).size() == 400; }));
  EXPECT_EQ(ddeBridgeClientCount(inst), 0u);
  for (const Call& c : callsOf(XTYP_DISCONNECT)) EXPECT_EQ(convs.count(static_cast<std::uint32_t>(c.conv)), 1u);
}

TEST_F(DdemlPosixTest, ConnectAndDisconnectAreLogged) {
  ASSERT_TRUE(start());
  LogCapture log(3);
  DdeClient& c = newClient();
  connect(c, "lse_vod");
  EXPECT_TRUE(log.contains("connected to TAVRO")) << log.text();
  c.close();
  ASSERT_TRUE(runUntil([&] { return log.contains("disconnected"); }));
}

// ---- Requests, pokes, executes

struct RequestCase {
  const char* name;
  std::string value;
  bool xl;
};

TEST_F(DdemlPosixTest, RequestReturnsTheCallbackBytesExactly) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  const RequestCase cases[] = {
      {"text", std::string("12.5\0", 5), false},
      {"float table", kFloat125, true},
      {"string table", kStringAbc, true},
      {"empty text", std::string("\0", 1), false},
  };
  for (const RequestCase& rc : cases) {
    SCOPED_TRACE(rc.name);
    requestValue = rc.value;
    DdeBridgeFormat f;
    std::string data;
    ASSERT_EQ(c.request(conv, "BID", rc.xl ? kXlTable : kText, f, data), DdeReply::Ok);
    EXPECT_EQ(hex(data), hex(rc.value));
    EXPECT_TRUE(f.sameAs(rc.xl ? kXlTable : kText));
    Call last = callsOf(XTYP_REQUEST).back();
    EXPECT_EQ(last.fmt, rc.xl ? xltable : CF_TEXT);
    EXPECT_EQ(last.text1, "lse_vod");
    EXPECT_EQ(last.text2, "BID");
  }
}

TEST_F(DdemlPosixTest, RequestGetsTheFormatOfTheReturnedHandle) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  requestValue = std::string("ERROR\0", 6);
  requestFormat = CF_TEXT;
  DdeBridgeFormat f;
  std::string data;
  ASSERT_EQ(c.request(conv, "BID", kXlTable, f, data), DdeReply::Ok);
  EXPECT_TRUE(f.sameAs(kText));
}

TEST_F(DdemlPosixTest, RequestWithoutDataIsAnsweredNegatively) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  DdeBridgeFormat f;
  std::string data;
  EXPECT_EQ(c.request(conv, "NONE", kText, f, data), DdeReply::Refused);
  EXPECT_EQ(callsOf(XTYP_REQUEST).size(), 1u);
  // A format this process never registered cannot be served.
  EXPECT_EQ(c.request(conv, "BID", DdeBridgeFormat::registered("Biff12"), f, data), DdeReply::Refused);
  EXPECT_EQ(callsOf(XTYP_REQUEST).size(), 1u);
  // Nor a conversation the client does not hold.
  EXPECT_EQ(c.request(conv + 100, "BID", kText, f, data), DdeReply::Refused);
  EXPECT_EQ(callsOf(XTYP_REQUEST).size(), 1u);
}

TEST_F(DdemlPosixTest, ExecuteIsFailedByTheLibraryUnderCbfFailExecutes) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  EXPECT_EQ(c.execute(conv, "[open]"), DdeReply::Refused);
  EXPECT_TRUE(callsOf(XTYP_EXECUTE).empty());
}

TEST_F(DdemlPosixTest, PokeReachesTheCallbackWithItsData) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  EXPECT_EQ(c.poke(conv, "BID", kText, std::string("1.5\0", 4)), DdeReply::Ok);
  std::vector<Call> pokes = callsOf(XTYP_POKE);
  ASSERT_EQ(pokes.size(), 1u);
  EXPECT_EQ(pokes[0].text2, "BID");
  EXPECT_EQ(pokes[0].data, std::string("1.5\0", 4));
  onCall = [](const Call& call, HDDEDATA& h) {
    h = nullptr;
    return call.type == XTYP_POKE;
  };
  EXPECT_EQ(c.poke(conv, "BID", kText, "2"), DdeReply::Refused);
}

// ---- Advise loops

TEST_F(DdemlPosixTest, AdviseStartReportsTheCallbackAnswer) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  EXPECT_EQ(c.adviseStart(conv, "BID", kXlTable), DdeReply::Ok);
  EXPECT_EQ(c.adviseStart(conv, "NOPE", kText), DdeReply::Refused);
  std::vector<Call> starts = callsOf(XTYP_ADVSTART);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(starts[0].fmt, xltable);
  EXPECT_EQ(starts[0].text2, "BID");

  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  ASSERT_TRUE(DdePostAdvise(inst, topic, nullptr));
  std::vector<Call> reqs = callsOf(XTYP_ADVREQ);
  ASSERT_EQ(reqs.size(), 1u);  // the refused loop does not exist
  EXPECT_EQ(reqs[0].text2, "BID");
}

TEST_F(DdemlPosixTest, PostAdviseCallsBackOncePerMatchingLoopBeforeReturning) {
  ASSERT_TRUE(start());
  DdeClient& a = newClient();
  DdeClient& b = newClient();
  std::uint32_t vodA = connect(a, "LSE_VOD");
  std::uint32_t vodB = connect(b, "lse_vod");
  std::uint32_t bp = connect(b, "LSE_BP");
  ASSERT_EQ(a.adviseStart(vodA, "BID", kText), DdeReply::Ok);
  ASSERT_EQ(a.adviseStart(vodA, "ASK", kText), DdeReply::Ok);
  ASSERT_EQ(a.adviseStart(vodA, "bid", kXlTable), DdeReply::Ok);
  ASSERT_EQ(b.adviseStart(vodB, "BID", kText), DdeReply::Ok);
  ASSERT_EQ(b.adviseStart(bp, "BID", kText), DdeReply::Ok);

  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  HSZ bid = DdeCreateStringHandleA(inst, "BID", CP_WINANSI);
  calls.clear();
  ASSERT_TRUE(DdePostAdvise(inst, topic, bid));
  std::vector<Call> reqs = callsOf(XTYP_ADVREQ);
  ASSERT_EQ(reqs.size(), 3u);
  std::multiset<std::pair<std::uintptr_t, UINT>> seen;
  for (const Call& r : reqs) {
    EXPECT_EQ(r.hsz1, topic);
    EXPECT_EQ(r.hsz2, bid);
    EXPECT_EQ(DdeCmpStringHandles(r.hsz2, bid), 0);
    seen.insert({r.conv, r.fmt});
  }
  EXPECT_EQ(seen, (std::multiset<std::pair<std::uintptr_t, UINT>>{{vodA, CF_TEXT}, {vodA, xltable}, {vodB, CF_TEXT}}));

  calls.clear();
  ASSERT_TRUE(DdePostAdvise(inst, topic, nullptr));
  reqs = callsOf(XTYP_ADVREQ);
  ASSERT_EQ(reqs.size(), 4u);
  for (const Call& r : reqs) EXPECT_NE(r.conv, bp);

  // The data reaches each loop's client under the item it was started with.
  std::map<std::pair<std::uint32_t, std::string>, int> got;
  std::int64_t deadline = nowMs() + 3000;
  while (got.size() < 4 && nowMs() < deadline) {
    DdeAdvise adv;
    if (a.nextAdvise(adv, 0)) got[{adv.conv, adv.item + (adv.format.name.empty() ? "" : "/xl")}]++;
    if (b.nextAdvise(adv, 0)) got[{adv.conv, adv.item}]++;
    loop.runOnce(2);
  }
  EXPECT_EQ(got.count({vodA, "BID"}), 1u);
  EXPECT_EQ(got.count({vodA, "ASK"}), 1u);
  EXPECT_EQ(got.count({vodA, "bid/xl"}), 1u);
  EXPECT_EQ(got.count({vodB, "BID"}), 1u);
}

TEST_F(DdemlPosixTest, AdviseStopEndsTheLoop) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  ASSERT_EQ(c.adviseStart(conv, "BID", kText), DdeReply::Ok);
  ASSERT_EQ(c.adviseStart(conv, "ASK", kText), DdeReply::Ok);
  EXPECT_EQ(c.adviseStop(conv, "bid", kText), DdeReply::Ok);
  ASSERT_EQ(callsOf(XTYP_ADVSTOP).size(), 1u);
  EXPECT_EQ(callsOf(XTYP_ADVSTOP)[0].text2, "BID");
  EXPECT_EQ(c.adviseStop(conv, "BID", kText), DdeReply::Refused);
  EXPECT_EQ(c.adviseStop(conv, "ASK", kXlTable), DdeReply::Refused);
  EXPECT_EQ(callsOf(XTYP_ADVSTOP).size(), 1u);

  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  calls.clear();
  DdePostAdvise(inst, topic, nullptr);
  ASSERT_EQ(callsOf(XTYP_ADVREQ).size(), 1u);
  EXPECT_EQ(callsOf(XTYP_ADVREQ)[0].text2, "ASK");
}

TEST_F(DdemlPosixTest, ShortBurstOfUpdatesReachesTheClientAsTheLatestValuePerLoop) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  watchPrices(c);
  ASSERT_FALSE(HasFailure());
  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  HSZ ask = DdeCreateStringHandleA(inst, "ASK", CP_WINANSI);
  // Less than a write's worth: all of it waits for the end of the event.
  for (int i = 0; i < 10; ++i) DdePostAdvise(inst, topic, nullptr);
  DdePostAdvise(inst, topic, ask);  // ASK's latest is now the newest of all
  EXPECT_EQ(advSeq, 31);
  runFor(100);
  std::vector<DdeAdvise> got;
  DdeAdvise adv;
  while (c.nextAdvise(adv, 200)) got.push_back(adv);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].item, "BID");
  EXPECT_EQ(got[0].data, std::string("28\0", 3));
  EXPECT_EQ(got[1].item, "CUR");
  EXPECT_EQ(got[1].data, std::string("30\0", 3));
  EXPECT_EQ(got[2].item, "ASK");
  EXPECT_EQ(got[2].data, std::string("31\0", 3));
}

// A long burst is not held back until its end: values go out while it
// lasts, in the order posted, and each loop ends on its latest value.
TEST_F(DdemlPosixTest, LongBurstOfUpdatesFlowsInOrderAndEndsOnTheLatestValues) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = watchPrices(c);
  ASSERT_FALSE(HasFailure());
  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  std::size_t before = 0;
  for (int i = 0; i < 10000; ++i) {
    DdePostAdvise(inst, topic, nullptr);
    if (i == 200 && c.pump(0)) before = c.advisesQueued();
  }
  EXPECT_GT(before, 0u) << "nothing was written during the burst";
  runFor(100);
  std::vector<long> seqs = expectFreshInOrder(c, conv);
  ASSERT_FALSE(seqs.empty());
  EXPECT_EQ(seqs.back(), 30000);
}

TEST_F(DdemlPosixTest, SlowClientGetsOnlyFreshValuesInOrderAndCostsBoundedMemory) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = watchPrices(c);
  ASSERT_FALSE(HasFailure());
  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  advPadding = 40;
  std::size_t most = 0;
  // The server gets to write between posts; the client reads nothing.
  for (int i = 0; i < 10000; ++i) {
    DdePostAdvise(inst, topic, nullptr);
    loop.runOnce(0);
    most = std::max(most, ddeBridgePendingBytes(inst));
  }
  // One write batch under way plus one value per loop.
  EXPECT_LE(most, 20u * 1024);
  EXPECT_EQ(ddeBridgeClientCount(inst), 1u);

  std::vector<long> seqs = expectFreshInOrder(c, conv);
  EXPECT_FALSE(seqs.empty());
  EXPECT_LT(seqs.size(), 30000u / 10);
}

TEST_F(DdemlPosixTest, ClientThatStopsReadingIsDroppedAfterTheStallLimit) {
  ddeBridgeSetStallLimitMs(300);
  ASSERT_TRUE(start());
  DdeClient& slow = newClient();
  DdeClient& fine = newClient();
  std::uint32_t slowConv = connect(slow, "lse_vod");
  std::uint32_t fineConv = connect(fine, "lse_vod");
  ASSERT_EQ(slow.adviseStart(slowConv, "BID", kText), DdeReply::Ok);
  ASSERT_EQ(fine.adviseStart(fineConv, "BID", kText), DdeReply::Ok);
  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  recordAdvreq = false;
  advPadding = 8000;
  LogCapture log;
  int received = 0;
  DdeAdvise adv;
  // Fill the slow client's socket while the other one keeps reading.
  std::int64_t deadline = nowMs() + 5000;
  while (!disconnected(slowConv) && nowMs() < deadline) {
    DdePostAdvise(inst, topic, nullptr);
    loop.runOnce(5);
    while (fine.nextAdvise(adv, 0)) ++received;
  }
  ASSERT_TRUE(disconnected(slowConv)) << log.text();
  EXPECT_TRUE(log.contains("has read nothing for")) << log.text();
  EXPECT_FALSE(disconnected(fineConv));
  EXPECT_GT(received, 0);
  EXPECT_EQ(ddeBridgeClientCount(inst), 1u);
  DdeBridgeFormat f;
  std::string data;
  EXPECT_EQ(fine.request(fineConv, "BID", kText, f, data), DdeReply::Ok);
}

TEST_F(DdemlPosixTest, ClientThatFloodsRequestsWithoutReadingIsDropped) {
  ASSERT_TRUE(start());
  RawClient raw(socketPath, loop);
  ASSERT_TRUE(raw.ok());
  ASSERT_TRUE(raw.send(connectMessage(1, "TAVRO", "lse_vod")));
  DdeBridgeMessage m;
  ASSERT_TRUE(raw.next(m));
  ASSERT_EQ(m.pairs.size(), 1u);
  std::uint32_t conv = m.pairs[0].conv;
  requestValue = std::string(1000, 'v');
  LogCapture log;
  std::string burst;
  for (std::uint32_t i = 0; i < 500; ++i) ddeBridgeEncode(requestMessage(10 + i, conv, "BID"), burst);
  for (int round = 0; round < 40 && !disconnected(conv); ++round) {
    raw.send(burst);
    loop.runOnce(2);
  }
  ASSERT_TRUE(runUntil([&] { return disconnected(conv); }));
  EXPECT_TRUE(log.contains("without reading the answers")) << log.text();
  EXPECT_TRUE(raw.closedWithin(2000));
}

TEST_F(DdemlPosixTest, DisconnectDropsTheLoopsOfTheConversation) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  ASSERT_EQ(c.adviseStart(conv, "BID", kText), DdeReply::Ok);
  c.close();
  ASSERT_TRUE(runUntil([&] { return disconnected(conv); }));
  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  calls.clear();
  EXPECT_TRUE(DdePostAdvise(inst, topic, nullptr));
  EXPECT_TRUE(calls.empty());
}

// ---- Callback enabling

TEST_F(DdemlPosixTest, DisabledConversationHoldsItsTransactionsUntilEnabled) {
  ASSERT_TRUE(start());
  RawClient raw(socketPath, loop);
  ASSERT_TRUE(raw.send(connectMessage(1, "TAVRO", "lse_vod")));
  DdeBridgeMessage m;
  ASSERT_TRUE(raw.next(m));
  std::uint32_t conv = m.pairs.at(0).conv;
  DdeBridgeMessage advise = requestMessage(2, conv, "BID");
  advise.kind = DDE_BRIDGE_ADVSTART;
  ASSERT_TRUE(raw.send(advise));
  ASSERT_TRUE(raw.next(m));
  ASSERT_EQ(m.kind, DDE_BRIDGE_ACK);
  ASSERT_TRUE(m.ok);

  HCONV h = reinterpret_cast<HCONV>(static_cast<std::uintptr_t>(conv));
  ASSERT_TRUE(DdeEnableCallback(inst, h, EC_DISABLE));
  ASSERT_TRUE(raw.send(requestMessage(3, conv, "BID")));
  ASSERT_TRUE(raw.send(requestMessage(4, conv, "ASK")));
  EXPECT_FALSE(raw.next(m, 200));
  EXPECT_TRUE(callsOf(XTYP_REQUEST).empty());
  EXPECT_TRUE(DdeEnableCallback(inst, h, 0x0002 /* EC_QUERYWAITING */));

  // Advise requests are not held back.
  HSZ topic = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  ASSERT_TRUE(DdePostAdvise(inst, topic, nullptr));
  EXPECT_EQ(callsOf(XTYP_ADVREQ).size(), 1u);
  ASSERT_TRUE(raw.next(m));
  EXPECT_EQ(m.kind, DDE_BRIDGE_ADVISE);

  ASSERT_TRUE(DdeEnableCallback(inst, h, EC_ENABLEALL));
  ASSERT_TRUE(raw.next(m));
  EXPECT_EQ(m.kind, DDE_BRIDGE_DATA);
  EXPECT_EQ(m.xid, 3u);
  ASSERT_TRUE(raw.next(m));
  EXPECT_EQ(m.xid, 4u);
  std::vector<Call> reqs = callsOf(XTYP_REQUEST);
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].text2, "BID");
  EXPECT_EQ(reqs[1].text2, "ASK");
  EXPECT_FALSE(DdeEnableCallback(inst, h, 0x0002));
}

// ---- Malformed input

struct BadInput {
  const char* name;
  std::string bytes;
};

std::string framed(const std::string& body) { return le32(static_cast<std::uint32_t>(body.size())) + body; }

TEST_F(DdemlPosixTest, MalformedMessageDropsOnlyThatClient) {
  ASSERT_TRUE(start());
  DdeClient& good = newClient();
  std::uint32_t goodConv = connect(good, "lse_vod");
  const BadInput cases[] = {
      {"size zero", le32(0)},
      {"size over the limit", le32(65537) + "\x02"},
      {"unknown kind", framed("\x42")},
      {"server kind", framed(std::string("\x83\x01\x00\x00\x00\x00\x10\x00\x00\x01", 10))},
      {"name past the end", framed(std::string("\x01\x01\x00\x00\x00\x05TAV", 9))},
      {"trailing bytes", framed(std::string("\x07\x00\x10\x00\x00\x99", 6))},
      {"nul in a name", framed(std::string("\x01\x01\x00\x00\x00\x05TA\0VO\x01x", 14))},
      {"number and name", framed(std::string("\x02\x01\x00\x00\x00\x00\x10\x00\x00\x03"
                                             "BID\x01\x00\x00\x00\x03XlT",
                                             21))},
      {"blob past the end", framed(std::string("\x06\x01\x00\x00\x00\x00\x10\x00\x00\xff\xff\x00\x00", 13))},
  };
  std::uint32_t xid = 100;
  for (const BadInput& bad : cases) {
    SCOPED_TRACE(bad.name);
    RawClient raw(socketPath, loop);
    ASSERT_TRUE(raw.send(connectMessage(++xid, "TAVRO", "lse_vod")));
    DdeBridgeMessage m;
    ASSERT_TRUE(raw.next(m));
    std::uint32_t conv = m.pairs.at(0).conv;
    LogCapture log;
    ASSERT_TRUE(raw.send(bad.bytes));
    EXPECT_TRUE(raw.closedWithin(2000));
    EXPECT_TRUE(runUntil([&] { return disconnected(conv); }));
    EXPECT_TRUE(log.contains("malformed message")) << log.text();
    DdeBridgeFormat f;
    std::string data;
    EXPECT_EQ(good.request(goodConv, "BID", kText, f, data), DdeReply::Ok);
  }
  EXPECT_FALSE(disconnected(goodConv));
}

TEST_F(DdemlPosixTest, MessageSplitAtEveryByteIsStillUnderstood) {
  ASSERT_TRUE(start());
  RawClient raw(socketPath, loop);
  std::string bytes;
  ddeBridgeEncode(connectMessage(7, "TAVRO", "lse_vod"), bytes);
  for (char b : bytes) {
    ASSERT_TRUE(raw.send(std::string(1, b)));
    loop.runOnce(1);
  }
  DdeBridgeMessage m;
  ASSERT_TRUE(raw.next(m));
  EXPECT_EQ(m.kind, DDE_BRIDGE_CONNECTED);
  EXPECT_EQ(m.xid, 7u);
  EXPECT_EQ(m.pairs.size(), 1u);
}

// ---- Teardown

TEST_F(DdemlPosixTest, UninitializeEndsEveryConversationAndRemovesTheSocket) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t one = connect(c, "lse_vod");
  std::uint32_t two = connect(c, "LSE_BP");
  ASSERT_EQ(c.adviseStart(one, "BID", kText), DdeReply::Ok);
  ASSERT_TRUE(DdeUninitialize(inst));
  EXPECT_TRUE(disconnected(one));
  EXPECT_TRUE(disconnected(two));
  struct stat st {};
  EXPECT_NE(::lstat(socketPath.c_str(), &st), 0);
  DWORD ended = inst;
  inst = 0;
  EXPECT_FALSE(DdePostAdvise(ended, service, nullptr));
  EXPECT_EQ(DdeQueryStringA(ended, service, nullptr, 0, CP_WINANSI), 0u);
  c.setIdle(nullptr);
  std::int64_t deadline = nowMs() + 2000;
  while (c.pump(10) && nowMs() < deadline) {
  }
  EXPECT_FALSE(c.isOpen());
  EXPECT_TRUE(c.terminated(one));
  EXPECT_TRUE(c.terminated(two));
}

TEST_F(DdemlPosixTest, UnregisterStopsTheServiceAndEndsItsConversations) {
  ASSERT_TRUE(start());
  DdeClient& c = newClient();
  std::uint32_t conv = connect(c, "lse_vod");
  ASSERT_NE(DdeNameService(inst, service, nullptr, DNS_UNREGISTER), nullptr);
  EXPECT_TRUE(disconnected(conv));
  struct stat st {};
  EXPECT_NE(::lstat(socketPath.c_str(), &st), 0);
  DdeClient again;
  EXPECT_FALSE(again.open("TAVRO"));
  // The service can come back.
  ASSERT_TRUE(start());
  DdeClient& later = newClient();
  EXPECT_NE(connect(later, "lse_vod"), 0u);
}

// ---- Handles

TEST_F(DdemlPosixTest, StringHandlesIgnoreLetterCaseAndKeepTheFirstText) {
  HSZ a = DdeCreateStringHandleA(inst, "bid", CP_WINANSI);
  HSZ b = DdeCreateStringHandleA(inst, "BID", CP_WINANSI);
  HSZ w = DdeCreateStringHandleW(inst, L"Bid", CP_WINUNICODE);
  HSZ ask = DdeCreateStringHandleA(inst, "ASK", CP_WINANSI);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a, w);
  EXPECT_EQ(DdeCmpStringHandles(a, b), 0);
  EXPECT_NE(DdeCmpStringHandles(a, ask), 0);
  EXPECT_EQ(DdeCmpStringHandles(a, ask), -DdeCmpStringHandles(ask, a));
  char buf[16];
  EXPECT_EQ(DdeQueryStringA(inst, b, buf, sizeof buf, CP_WINANSI), 3u);
  EXPECT_STREQ(buf, "bid");
  WCHAR wbuf[16];
  EXPECT_EQ(DdeQueryStringW(inst, b, wbuf, 16, CP_WINUNICODE), 3u);
  EXPECT_EQ(std::wstring(wbuf), L"bid");
  // Three references: the text lives until the third free.
  EXPECT_TRUE(DdeFreeStringHandle(inst, a));
  EXPECT_TRUE(DdeFreeStringHandle(inst, a));
  EXPECT_EQ(DdeQueryStringA(inst, a, nullptr, 0, CP_WINANSI), 3u);
  EXPECT_TRUE(DdeFreeStringHandle(inst, a));
  EXPECT_EQ(DdeQueryStringA(inst, a, nullptr, 0, CP_WINANSI), 0u);
  EXPECT_FALSE(DdeFreeStringHandle(inst, a));
  HSZ again = DdeCreateStringHandleA(inst, "BID", CP_WINANSI);
  EXPECT_EQ(DdeQueryStringA(inst, again, buf, sizeof buf, CP_WINANSI), 3u);
  EXPECT_STREQ(buf, "BID");
  EXPECT_TRUE(DdeKeepStringHandle(inst, again));
  EXPECT_TRUE(DdeFreeStringHandle(inst, again));
  EXPECT_EQ(DdeQueryStringA(inst, again, nullptr, 0, CP_WINANSI), 3u);
}

TEST_F(DdemlPosixTest, StringHandlesFoldLatinOneLetters) {
  HSZ lower = DdeCreateStringHandleA(inst, "caf\xe9", CP_WINANSI);
  HSZ upper = DdeCreateStringHandleA(inst, "CAF\xc9", CP_WINANSI);
  EXPECT_EQ(lower, upper);
  EXPECT_EQ(DdeCreateStringHandleA(inst, "", CP_WINANSI), nullptr);
  EXPECT_EQ(DdeCreateStringHandleA(inst, std::string(256, 'x').c_str(), CP_WINANSI), nullptr);
}

struct QueryCase {
  DWORD cchMax;
  DWORD result;
  const char* text;
};

TEST_F(DdemlPosixTest, QueryStringCopiesAtMostOneLessThanTheBuffer) {
  HSZ h = DdeCreateStringHandleA(inst, "LSE_VOD", CP_WINANSI);
  const QueryCase cases[] = {{1, 0, ""}, {2, 1, "L"}, {4, 3, "LSE"}, {7, 6, "LSE_VO"}, {8, 7, "LSE_VOD"}, {64, 7, "LSE_VOD"}};
  for (const QueryCase& q : cases) {
    SCOPED_TRACE(q.cchMax);
    char buf[64];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(DdeQueryStringA(inst, h, buf, q.cchMax, CP_WINANSI), q.result);
    EXPECT_STREQ(buf, q.text);
    EXPECT_EQ(buf[q.result + 1], q.cchMax > q.result + 1 ? '#' : buf[q.result + 1]);
  }
  EXPECT_EQ(DdeQueryStringA(inst, h, nullptr, 0, CP_WINANSI), 7u);
  EXPECT_EQ(DdeQueryStringW(inst, h, nullptr, 0, CP_WINUNICODE), 7u);
  char buf[8] = "xxxxxxx";
  EXPECT_EQ(DdeQueryStringA(inst, nullptr, buf, sizeof buf, CP_WINANSI), 0u);
  EXPECT_STREQ(buf, "");
}

TEST_F(DdemlPosixTest, DataHandlesCopyTheirBytesAndHandThemOut) {
  const BYTE src[] = {1, 2, 3, 4, 5, 6};
  HSZ item = DdeCreateStringHandleA(inst, "BID", CP_WINANSI);
  HDDEDATA h = DdeCreateDataHandle(inst, src, 4, 2, item, CF_TEXT, 0);
  ASSERT_NE(h, nullptr);
  DWORD size = 0;
  BYTE* p = DdeAccessData(h, &size);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(size, 4u);
  EXPECT_EQ(std::vector<BYTE>(p, p + 4), (std::vector<BYTE>{3, 4, 5, 6}));
  p[0] = 9;
  EXPECT_TRUE(DdeUnaccessData(h));
  EXPECT_EQ(DdeGetData(h, nullptr, 0, 0), 4u);
  BYTE out[8] = {};
  EXPECT_EQ(DdeGetData(h, out, 2, 1), 2u);
  EXPECT_EQ(out[0], 4);
  EXPECT_EQ(out[1], 5);
  EXPECT_EQ(DdeGetData(h, out, 8, 0), 4u);
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(DdeGetData(h, out, 8, 4), 0u);
  EXPECT_TRUE(DdeFreeDataHandle(h));
  EXPECT_EQ(DdeAccessData(h, &size), nullptr);
  EXPECT_FALSE(DdeFreeDataHandle(h));

  HDDEDATA blank = DdeCreateDataHandle(inst, nullptr, 32, 0, nullptr, 0, 0);
  p = DdeAccessData(blank, &size);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(size, 32u);
  EXPECT_EQ(std::vector<BYTE>(p, p + 32), std::vector<BYTE>(32, 0));
  EXPECT_EQ(DdeCreateDataHandle(inst + 1000, src, 4, 0, nullptr, CF_TEXT, 0), nullptr);
}

TEST_F(DdemlPosixTest, ClipboardFormatsAreStablePerNameRegardlessOfCase) {
  UINT xl = RegisterClipboardFormatA("XlTable");
  EXPECT_GE(xl, 0xC000u);
  EXPECT_EQ(RegisterClipboardFormatA("xltable"), xl);
  EXPECT_EQ(RegisterClipboardFormatA("XLTABLE"), xl);
  UINT other = RegisterClipboardFormatA("Link");
  EXPECT_GE(other, 0xC000u);
  EXPECT_NE(other, xl);
  EXPECT_EQ(RegisterClipboardFormatA("Link"), other);
  EXPECT_EQ(RegisterClipboardFormatA(""), 0u);
}

// The server encodes a loop's part of its ADVISE frames once; every frame
// must still be the one the whole-message encoder makes, and fail where it fails.
TEST(DdeBridgeCodecTest, SplitAdviseFrameIsTheWholeMessageFrame) {
  struct Case {
    std::string item;
    DdeBridgeFormat loop, data;
    std::string bytes;
  };
  const Case cases[] = {
      {"BID", DdeBridgeFormat::standard(1), DdeBridgeFormat::standard(1), std::string("12.5\0", 5)},
      {"Last Trade", DdeBridgeFormat::registered("XlTable"), DdeBridgeFormat::registered("XlTable"), kFloat125},
      {"bid", DdeBridgeFormat::registered("XlTable"), DdeBridgeFormat::standard(1), std::string("ERROR\0", 6)},
      {"TIME", DdeBridgeFormat::standard(1), DdeBridgeFormat::standard(1), ""},
      {"BID", DdeBridgeFormat::standard(1), DdeBridgeFormat::standard(1), std::string(DDE_BRIDGE_MAX_MESSAGE, 'x')},
      {std::string(256, 'I'), DdeBridgeFormat::standard(1), DdeBridgeFormat::standard(1), "1"},
      {"BID", DdeBridgeFormat::standard(1), DdeBridgeFormat::registered(std::string("Xl\0", 3)), "1"},
  };
  for (const Case& c : cases) {
    DdeBridgeMessage m;
    m.kind = DDE_BRIDGE_ADVISE;
    m.conv = 0x1234;
    m.item = c.item;
    m.format = c.loop;
    m.dataFormat = c.data;
    m.data = c.bytes;
    std::string whole = "prefix", split = "prefix", head;
    bool wholeOk = ddeBridgeEncode(m, whole);
    bool splitOk = ddeBridgeAdviseHead(m.conv, m.item, m.format, head) &&
                   ddeBridgeAppendAdvise(head, m.dataFormat, m.data.data(), m.data.size(), split);
    EXPECT_EQ(splitOk, wholeOk) << c.item.substr(0, 10) << " " << c.bytes.size();
    EXPECT_EQ(split, whole) << c.item.substr(0, 10) << " " << c.bytes.size();
  }
}

}  // namespace

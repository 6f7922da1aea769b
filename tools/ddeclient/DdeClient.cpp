#include "tools/ddeclient/DdeClient.h"
#include "tools/ddeclient/XlTable.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "support/Log.h"

namespace {

std::int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool waitFor(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  int r;
  do r = ::poll(&p, 1, ms);
  while (r < 0 && errno == EINTR);
  return r > 0;
}

}  // namespace

DdeClient::~DdeClient() { close(); }

void DdeClient::fail(const std::string& why) {
  m_error = why;
  LOG_DBG("DDE client: " << why);
}

bool DdeClient::open(const std::string& service) {
  std::string dir = ddeBridgeDirectory(), path, error;
  if (!ddeBridgeCheckDirectory(dir, false, error) || !ddeBridgeSocketPath(dir, service, path, error)) {
    fail("no service " + service + ": " + error);
    return false;
  }
  return openPath(path);
}

bool DdeClient::openPath(const std::string& path) {
  close();
  sockaddr_un sa{};
  if (path.size() >= sizeof sa.sun_path) {
    fail("socket path too long: " + path);
    return false;
  }
  sa.sun_family = AF_UNIX;
  std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) {
    fail(std::string("socket: ") + std::strerror(errno));
    return false;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
  // A full backlog answers EAGAIN; the server may be in this very thread, so
  // it gets its turn before the next try.
  std::int64_t deadline = nowMs() + m_timeoutMs;
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 || errno == EISCONN) break;
    int e = errno;
    if ((e == EAGAIN || e == EINTR || e == EINPROGRESS || e == EALREADY) && nowMs() < deadline) {
      if (m_idle) m_idle();
      else waitFor(fd, POLLOUT, 10);
      continue;
    }
    ::close(fd);
    fail("no service at " + path + ": " + std::strerror(e));
    return false;
  }
  m_fd = fd;
  m_reader = DdeBridgeReader();
  m_answers.clear();
  m_advises.clear();
  m_terminated.clear();
  return true;
}

void DdeClient::close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

bool DdeClient::send(const DdeBridgeMessage& m) {
  std::string bytes;
  if (!ddeBridgeEncode(m, bytes)) {
    fail("message too large");
    return false;
  }
  std::size_t done = 0;
  std::int64_t deadline = nowMs() + m_timeoutMs;
  while (done < bytes.size() && isOpen()) {
    ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && nowMs() < deadline) {
      // Keep reading meanwhile, so that the server never sees us stall.
      if (m_idle) m_idle();
      pump(0);
      if (!m_idle && isOpen()) waitFor(m_fd, POLLOUT, 10);
      continue;
    }
    fail(n < 0 && errno != EAGAIN ? std::string("write failed: ") + std::strerror(errno) : "write timed out");
    // What the server sent before it went (its terminations) is still worth reading.
    pump(0);
    close();
    return false;
  }
  return isOpen();
}

bool DdeClient::pump(int waitMs) {
  if (!isOpen()) return false;
  if (waitMs > 0 && !waitFor(m_fd, POLLIN, waitMs)) return true;
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(m_fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {
      fail(n == 0 ? "the server closed the connection" : std::string("read failed: ") + std::strerror(errno));
      close();
      break;
    }
    m_reader.append(buf, static_cast<std::size_t>(n));
    DdeBridgeMessage m;
    int r;
    while ((r = m_reader.next(m)) > 0) {
      if (!ddeBridgeFromServer(m.kind)) {
        r = -1;
        break;
      }
      if (m.kind == DDE_BRIDGE_ADVISE) {
        DdeAdvise a;
        a.conv = m.conv;
        a.item = std::move(m.item);
        a.format = std::move(m.format);
        a.dataFormat = std::move(m.dataFormat);
        a.data = std::move(m.data);
        m_advises.push_back(std::move(a));
      } else if (m.kind == DDE_BRIDGE_TERMINATED) {
        m_terminated.insert(m.conv);
      } else {
        m_answers[m.xid] = std::move(m);
      }
    }
    if (r < 0) {
      LOG_WRN("DDE server sent a malformed message (" << (m_reader.error().empty() ? "kind " + std::to_string(m.kind)
                                                                                  : m_reader.error())
                                                      << ")");
      fail("malformed message from the server");
      close();
      break;
    }
    if (static_cast<std::size_t>(n) < sizeof buf) break;
  }
  return isOpen();
}

bool DdeClient::await(std::uint32_t xid, DdeBridgeMessage& answer) {
  std::int64_t deadline = nowMs() + m_timeoutMs;
  for (;;) {
    auto it = m_answers.find(xid);
    if (it != m_answers.end()) {
      answer = std::move(it->second);
      m_answers.erase(it);
      return true;
    }
    if (!isOpen()) return false;
    std::int64_t left = deadline - nowMs();
    if (left <= 0) {
      fail("no answer within " + std::to_string(m_timeoutMs) + " ms");
      return false;
    }
    if (m_idle) {
      m_idle();
      pump(0);
    } else {
      pump(static_cast<int>(left < 100 ? left : 100));
    }
  }
}

DdeReply DdeClient::transact(DdeBridgeMessage& m, DdeBridgeMessage& answer) {
  if (!isOpen()) {
    if (m_error.empty()) fail("not connected");
    return DdeReply::Failed;
  }
  m.xid = ++m_nextXid;
  if (!send(m) || !await(m.xid, answer)) return DdeReply::Failed;
  std::uint8_t expected = m.kind == DDE_BRIDGE_CONNECT ? DDE_BRIDGE_CONNECTED
                          : m.kind == DDE_BRIDGE_REQUEST ? DDE_BRIDGE_DATA
                                                         : DDE_BRIDGE_ACK;
  if (answer.kind != expected) {
    fail("answer of kind " + std::to_string(answer.kind) + " to a message of kind " + std::to_string(m.kind));
    return DdeReply::Failed;
  }
  if (m.kind == DDE_BRIDGE_CONNECT) return answer.pairs.empty() ? DdeReply::Refused : DdeReply::Ok;
  return answer.ok ? DdeReply::Ok : DdeReply::Refused;
}

DdeReply DdeClient::connect(const std::string& service, const std::string& topic, std::uint32_t& conv) {
  if (service.empty() || topic.empty()) {
    fail("a connect names both service and topic");
    return DdeReply::Failed;
  }
  DdeBridgeMessage m, a;
  m.kind = DDE_BRIDGE_CONNECT;
  m.service = service;
  m.topic = topic;
  DdeReply r = transact(m, a);
  if (r == DdeReply::Ok) {
    if (a.pairs.size() != 1) {
      fail(std::to_string(a.pairs.size()) + " conversations for one connect");
      return DdeReply::Failed;
    }
    conv = a.pairs[0].conv;
  }
  return r;
}

DdeReply DdeClient::wildConnect(const std::string& service, const std::string& topic,
                                std::vector<DdeBridgePair>& pairs) {
  DdeBridgeMessage m, a;
  m.kind = DDE_BRIDGE_CONNECT;
  m.service = service;
  m.topic = topic;
  DdeReply r = transact(m, a);
  pairs = a.pairs;
  return r;
}

DdeReply DdeClient::request(std::uint32_t conv, const std::string& item, const DdeBridgeFormat& format,
                            DdeBridgeFormat& dataFormat, std::string& data) {
  DdeBridgeMessage m, a;
  m.kind = DDE_BRIDGE_REQUEST;
  m.conv = conv;
  m.item = item;
  m.format = format;
  DdeReply r = transact(m, a);
  if (r == DdeReply::Ok) {
    dataFormat = a.dataFormat;
    data = a.data;
  }
  return r;
}

DdeReply DdeClient::adviseStart(std::uint32_t conv, const std::string& item, const DdeBridgeFormat& format) {
  DdeBridgeMessage m, a;
  m.kind = DDE_BRIDGE_ADVSTART;
  m.conv = conv;
  m.item = item;
  m.format = format;
  return transact(m, a);
}

DdeReply DdeClient::adviseStop(std::uint32_t conv, const std::string& item, const DdeBridgeFormat& format) {
  DdeBridgeMessage m, a;
  m.kind = DDE_BRIDGE_ADVSTOP;
  m.conv = conv;
  m.item = item;
  m.format = format;
  return transact(m, a);
}

DdeReply DdeClient::poke(std::uint32_t conv, const std::string& item, const DdeBridgeFormat& format,
                         const std::string& data) {
  DdeBridgeMessage m, a;
  m.kind = DDE_BRIDGE_POKE;
  m.conv = conv;
  m.item = item;
  m.format = format;
  m.data = data;
  return transact(m, a);
}

DdeReply DdeClient::execute(std::uint32_t conv, const std::string& command) {
  DdeBridgeMessage m, a;
  m.kind = DDE_BRIDGE_EXECUTE;
  m.conv = conv;
  m.data = command;
  return transact(m, a);
}

bool DdeClient::terminate(std::uint32_t conv) {
  DdeBridgeMessage m;
  m.kind = DDE_BRIDGE_TERMINATE;
  m.conv = conv;
  return isOpen() && send(m);
}

bool DdeClient::nextAdvise(DdeAdvise& out, int waitMs) {
  std::int64_t deadline = nowMs() + (waitMs > 0 ? waitMs : 0);
  for (;;) {
    if (!m_advises.empty()) {
      out = std::move(m_advises.front());
      m_advises.pop_front();
      return true;
    }
    if (!isOpen()) return false;
    std::int64_t left = deadline - nowMs();
    if (m_idle) {
      m_idle();
      pump(0);
    } else {
      pump(left > 0 ? static_cast<int>(left < 100 ? left : 100) : 0);
    }
    if (left <= 0 && m_advises.empty()) return false;
  }
}

std::string formatValue(const DdeBridgeFormat& format, const std::string& data) {
  if (format.sameAs(DdeBridgeFormat::registered("XlTable"))) return formatValue(ValueFormat::XlTable, data);
  if (format.name.empty() && format.code == 1) return formatValue(ValueFormat::Text, data);
  return formatValue(ValueFormat::Other, data, format.name.empty() ? std::to_string(format.code) : format.name);
}
